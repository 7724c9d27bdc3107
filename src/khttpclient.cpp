#include "khttpclient.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "khttptunnel.h"
#include "kproxysettings.h"
#include "ktcpsocket.h"
#include "ktlssession.h"
#include "ktrace.h"

namespace {

using Clock = KTCPSocket::Clock;

// The receive buffer of one read; the reader takes any piece size.
constexpr size_t RECEIVE_BUFFER_BYTES = 8192;
// How much of a reply the trace shows.
constexpr size_t TRACED_BODY_BYTES = 200;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

constexpr uint16_t HTTP_PORT = 80;
constexpr uint16_t HTTPS_PORT = 443;

// Decimal digits only, from 1 to 65535; an empty text means the default port.
bool parsePort(const std::string& text, uint16_t defaultPort, uint16_t& port) {
    if (text.empty()) {
        port = defaultPort;
        return true;
    }
    unsigned long value = 0;
    for (char c : text) {
        if (!isDigit(c)) return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 65535) return false;
    }
    if (value == 0) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

bool deadlinePassed(Clock::time_point deadline) { return Clock::now() >= deadline; }

// Why the reply ended, for the trace.
enum class ReplyEnd { Complete, Closed, TimedOut, ReceiveError };

const char* replyEndText(ReplyEnd end) {
    switch (end) {
        case ReplyEnd::Complete: return "reply complete";
        case ReplyEnd::Closed: return "server closed the connection";
        case ReplyEnd::TimedOut: return "reply bound passed";
        case ReplyEnd::ReceiveError: return "receive error";
    }
    return "";
}

// Tells the trace what came back: the status line and the start of the body.
void traceReply(const KHTTPClient::ReplyReader& reader, ReplyEnd end, const std::string& body) {
    if (!KTrace::enabled()) return;
    if (!reader.headerComplete()) {
        KTrace::event("no usable reply (%s)", reader.status() == KHTTPClient::ReplyReader::Status::Error
                                                  ? "not an HTTP reply"
                                                  : replyEndText(end));
        return;
    }
    KTrace::event("status line \"%s\" (%s)",
                  KTrace::printable(reader.statusLine(), TRACED_BODY_BYTES).c_str(),
                  replyEndText(end));
    KTrace::event("body, %zu bytes: \"%s\"", body.size(),
                  KTrace::printable(body, TRACED_BODY_BYTES).c_str());
}

// Reads until the reply is complete, the peer closes, or the deadline passes.
template <typename Stream>
std::string readReply(Stream& socket, Clock::time_point deadline) {
    KHTTPClient::ReplyReader reader;
    char buffer[RECEIVE_BUFFER_BYTES];
    ReplyEnd end = ReplyEnd::Complete;
    while (reader.status() == KHTTPClient::ReplyReader::Status::NeedMore) {
        if (deadlinePassed(deadline) || !socket.waitReadable(deadline)) {
            end = ReplyEnd::TimedOut;
            break;
        }
        const int32_t received = socket.recv(buffer, static_cast<int32_t>(sizeof buffer));
        if (received > 0) {
            reader.feed(buffer, static_cast<size_t>(received));
        } else if (received == 0) {
            end = ReplyEnd::Closed;
            reader.finish();
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            // A reset after the reply (or part of it) keeps what came, as the deadline does.
            end = ReplyEnd::ReceiveError;
            break;
        }
    }
    std::string body = reader.result();
    traceReply(reader, end, body);
    return body;
}

template <typename Stream>
std::string exchange(Stream& stream, const std::string& message, Clock::time_point deadline) {
    if (!KTCPSocket::sendAll(stream, message, deadline)) {
        KTrace::event("sending the request failed or passed the reply bound");
        return std::string();
    }
    KTrace::event("sent %zu bytes", message.size());
    return readReply(stream, deadline);
}

bool startsWith(const std::string& text, const char* prefix, size_t prefixLength) {
    return text.compare(0, prefixLength, prefix) == 0;
}

}  // namespace

namespace {

bool hasControlOrSpace(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) return true;
    }
    return false;
}

// The length of the host at the start of an authority, up to its ":" or its end; 0 when there
// is no usable host. An IPv6 address is written in brackets, which stay part of the host, as
// its colons would otherwise read as the port.
size_t hostLength(const std::string& authority) {
    if (authority.front() != '[') {
        if (authority.find('[') != std::string::npos || authority.find(']') != std::string::npos) {
            return 0;
        }
        const size_t colon = authority.find(':');
        return colon == std::string::npos ? authority.size() : colon;
    }
    const size_t close = authority.find(']');
    if (close == std::string::npos) return 0;
    in6_addr address;
    if (inet_pton(AF_INET6, authority.substr(1, close - 1).c_str(), &address) != 1) return 0;
    if (close + 1 < authority.size() && authority[close + 1] != ':') return 0;
    return close + 1;
}

// Splits "host[:port][/path]", the part of a URL after its scheme. Such a byte at or below the
// space, or DEL, would end the request line early or start a header line of its own.
bool parseAfterScheme(const std::string& rest, uint16_t defaultPort, std::string& host,
                      uint16_t& port, std::string& path) {
    if (hasControlOrSpace(rest)) return false;
    const size_t slash = rest.find('/');
    const std::string authority = slash == std::string::npos ? rest : rest.substr(0, slash);
    if (authority.empty()) return false;

    const size_t hostEnd = hostLength(authority);
    if (hostEnd == 0) return false;
    uint16_t newPort = defaultPort;
    if (hostEnd < authority.size() &&
        !parsePort(authority.substr(hostEnd + 1), defaultPort, newPort)) {
        return false;
    }
    host = authority.substr(0, hostEnd);
    port = newPort;
    path = slash == std::string::npos ? "/" : rest.substr(slash);
    return true;
}

// "http://host:port", which starts the request target when the request goes through a proxy.
std::string origin(const std::string& host, uint16_t port) {
    std::string text = HTTP_PREFIX + host + ":";
    char digits[5];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + port % 10);
        port = static_cast<uint16_t>(port / 10);
    } while (port != 0);
    while (count > 0) text += digits[--count];
    return text;
}

// The POST request to target. Neither added entry overwrites the caller's: the caller may name
// its own host or length.
std::string request(const std::string& target, const std::string& host,
                    const KHTTPClient::Params& params, const std::string& body,
                    const KHTTPClient::Params& headers, const std::string& proxyAuthorization) {
    KHTTPClient::Params fields = headers;
    if (!proxyAuthorization.empty()) fields.emplace("Proxy-Authorization", proxyAuthorization);
    fields.emplace("host", host);
    // Many servers refuse a POST without a body length.
    fields.emplace("Content-Length", std::to_string(body.size()));
    // One request per connection: the server's close then ends any reply without a length.
    fields.emplace("Connection", "close");
    return KHTTPClient::generateMsg("POST", target, params, body, fields);
}

// Tells the trace whether and how a proxy is used.
void traceRoute(const KProxySettings& proxy, KProxySettings::Route route, bool secure) {
    const char* variable = secure ? "https_proxy" : "http_proxy";
    switch (route) {
        case KProxySettings::Route::Direct:
            KTrace::event(proxy.isSet() ? "direct: the host bypasses the proxy of %s"
                                        : "direct: no %s set",
                          variable);
            return;
        case KProxySettings::Route::Proxy:
            KTrace::event("through the proxy %s port %u of %s", proxy.host().c_str(),
                          static_cast<unsigned>(proxy.port()), variable);
            return;
        case KProxySettings::Route::Unusable:
            KTrace::event("the proxy value of %s is unusable: the attempt fails", variable);
            return;
    }
}

// The host as the resolver takes it: an IPv6 address without its brackets.
std::string withoutBrackets(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[') return host.substr(1, host.size() - 2);
    return host;
}

}  // namespace

// url and path are taken by value, as these operations have always been declared.
// cppcheck-suppress passedByValue
bool KHTTPClient::urlParse(std::string url,  // NOLINT(performance-unnecessary-value-param)
                           std::string& host, uint16_t& port, std::string& path) {
    const size_t prefixLength = sizeof HTTP_PREFIX - 1;
    if (!startsWith(url, HTTP_PREFIX, prefixLength)) return false;
    return parseAfterScheme(url.substr(prefixLength), HTTP_PORT, host, port, path);
}

bool KHTTPClient::urlParse(const std::string& url, Scheme& scheme, std::string& host,
                           uint16_t& port, std::string& path) {
    const size_t httpsLength = sizeof HTTPS_PREFIX - 1;
    if (startsWith(url, HTTPS_PREFIX, httpsLength)) {
        if (!parseAfterScheme(url.substr(httpsLength), HTTPS_PORT, host, port, path)) return false;
        scheme = Scheme::Https;
        return true;
    }
    if (!urlParse(url, host, port, path)) return false;
    scheme = Scheme::Http;
    return true;
}

std::string KHTTPClient::generateMsg(const std::string& method,
                                     // cppcheck-suppress passedByValue
                                     std::string path,  // NOLINT(performance-unnecessary-value-param)
                                     const Params& params, const std::string& body,
                                     const Params& headers) {
    std::string message = method + " " + path;
    const char* separator = "?";
    for (const auto& param : params) {
        message += separator;
        message += param.first + "=" + param.second;
        separator = "&";
    }
    message += " HTTP/1.1\r\n";
    for (const auto& header : headers) message += header.first + ":" + header.second + "\r\n";
    message += "\r\n";
    message += body;
    return message;
}

std::string KHTTPClient::post(const std::string& url, const Params& params, const std::string& body,
                              const Params& headers) {
    return post(url, params, body, headers, KTCPSocket::CONNECT_TIMEOUT, REPLY_TIMEOUT);
}

std::string KHTTPClient::post(const std::string& url, const Params& params, const std::string& body,
                              const Params& headers, std::chrono::milliseconds connectTimeout,
                              std::chrono::milliseconds replyTimeout) {
    std::string host, path;
    uint16_t port = 0;
    Scheme scheme = Scheme::Http;
    if (!urlParse(url, scheme, host, port, path)) {
        KTrace::event("URL \"%s\" refused: not http:// or https://, or a blank or control byte",
                      KTrace::enabled() ? KTrace::printable(url, url.size()).c_str() : "");
        return std::string();
    }
    const bool secure = scheme == Scheme::Https;
    const KProxySettings proxy = KProxySettings::fromEnvironment(secure);
    const KProxySettings::Route route = proxy.route(host);
    traceRoute(proxy, route, secure);
    if (route == KProxySettings::Route::Unusable) return std::string();
    const bool proxied = route == KProxySettings::Route::Proxy;
    // A plain proxy is asked in the request itself, with the whole URL as its target. Through a
    // proxy, HTTPS goes inside a tunnel, so the proxy sees neither the record nor the request,
    // which is then the same as the one sent directly.
    const bool absoluteTarget = proxied && !secure;
    const std::string message =
        request(absoluteTarget ? origin(host, port) + path : path, host, params, body, headers,
                absoluteTarget ? proxy.authorization() : std::string());
    if (KTrace::dryRun()) {
        KTrace::event("dry run: the %zu bytes of the request go to stdout, nothing is sent",
                      message.size());
        KTrace::request(message);
        return std::string();
    }
    KTCPSocket socket;
    if (!socket.connect(proxied ? proxy.host() : withoutBrackets(host),
                        proxied ? proxy.port() : port, connectTimeout)) {
        return std::string();
    }
    // The TLS handshake and a proxy's tunnel, when there are any, share the exchange's bound.
    const Clock::time_point deadline = Clock::now() + replyTimeout;
    if (!secure) return exchange(socket, message, deadline);
    if (proxied && !KHTTPTunnel::open(socket, withoutBrackets(host), port, deadline,
                                      proxy.authorization())) {
        return std::string();
    }
    KTLSSession session(socket);
    if (!session.handshake(withoutBrackets(host), deadline)) return std::string();
    return exchange(session, message, deadline);
}
