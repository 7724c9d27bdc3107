#include "khttpclient.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "khttptunnel.h"
#include "kproxysettings.h"
#include "ktcpsocket.h"
#include "ktlssession.h"

namespace {

using Clock = KTCPSocket::Clock;

// A header block larger than this is not a reply this client can use.
constexpr size_t MAX_HEADER_BYTES = size_t{64} * 1024;
// Chunk size lines are a few hex digits; a longer line means the framing is broken.
constexpr size_t MAX_CHUNK_LINE_BYTES = 1024;
// The receive buffer of one read; the reader takes any piece size.
constexpr size_t RECEIVE_BUFFER_BYTES = 8192;
constexpr char HEADER_END[] = "\r\n\r\n";
constexpr size_t HEADER_END_LENGTH = 4;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
    if (isDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(const std::string& text, const char* lowerWord) {
    const size_t length = std::strlen(lowerWord);
    if (text.size() != length) return false;
    for (size_t i = 0; i < length; ++i) {
        if (lowerAscii(text[i]) != lowerWord[i]) return false;
    }
    return true;
}

// Header values may carry optional white space on both sides.
std::string trimWhiteSpace(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

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

// A Content-Length value: decimal digits only; huge values saturate, as no more is kept anyway.
bool parseContentLength(const std::string& text, uint64_t& length) {
    if (text.empty()) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (!isDigit(c)) return false;
        if (value < UINT64_MAX / 16) value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    length = value;
    return true;
}

bool deadlinePassed(Clock::time_point deadline) { return Clock::now() >= deadline; }

// Loops over partial sends until every byte is out; false on an error or when time runs out.
// Stream is a KTCPSocket or a KTLSSession: both send, receive and wait alike.
template <typename Stream>
bool sendAll(Stream& socket, const std::string& message, Clock::time_point deadline) {
    size_t sent = 0;
    while (sent < message.size()) {
        if (deadlinePassed(deadline) || !socket.waitWritable(deadline)) return false;
        const size_t left = message.size() - sent;
        const int32_t piece = left > INT_MAX ? INT_MAX : static_cast<int32_t>(left);
        const int32_t result = socket.send(message.data() + sent, piece);
        if (result > 0) {
            sent += static_cast<size_t>(result);
        } else if (result < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
    }
    return true;
}

// Reads until the reply is complete, the peer closes, or the deadline passes.
template <typename Stream>
std::string readReply(Stream& socket, Clock::time_point deadline) {
    KHTTPClient::ReplyReader reader;
    char buffer[RECEIVE_BUFFER_BYTES];
    while (reader.status() == KHTTPClient::ReplyReader::Status::NeedMore) {
        if (deadlinePassed(deadline) || !socket.waitReadable(deadline)) break;
        const int32_t received = socket.recv(buffer, static_cast<int32_t>(sizeof buffer));
        if (received > 0) {
            reader.feed(buffer, static_cast<size_t>(received));
        } else if (received == 0) {
            reader.finish();
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return std::string();
        }
    }
    return reader.result();
}

template <typename Stream>
std::string exchange(Stream& stream, const std::string& message, Clock::time_point deadline) {
    if (!sendAll(stream, message, deadline)) return std::string();
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
    return KHTTPClient::generateMsg("POST", target, params, body, fields);
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
    if (!urlParse(url, scheme, host, port, path)) return std::string();
    const bool secure = scheme == Scheme::Https;
    const KProxySettings proxy = KProxySettings::fromEnvironment(secure);
    const KProxySettings::Route route = proxy.route(host);
    if (route == KProxySettings::Route::Unusable) return std::string();
    const bool proxied = route == KProxySettings::Route::Proxy;
    KTCPSocket socket;
    if (!socket.connect(proxied ? proxy.host() : withoutBrackets(host),
                        proxied ? proxy.port() : port, connectTimeout)) {
        return std::string();
    }
    // The TLS handshake and a proxy's tunnel, when there are any, share the exchange's bound.
    const Clock::time_point deadline = Clock::now() + replyTimeout;
    if (!secure) {
        // A plain proxy is asked in the request itself, with the whole URL as its target.
        const std::string target = proxied ? origin(host, port) + path : path;
        const std::string authorization = proxied ? proxy.authorization() : std::string();
        return exchange(socket, request(target, host, params, body, headers, authorization),
                        deadline);
    }
    // Through a proxy, HTTPS goes inside a tunnel, so the proxy sees neither the record nor the
    // request, which is then the same as the one sent directly.
    if (proxied && !KHTTPTunnel::open(socket, withoutBrackets(host), port, deadline,
                                      proxy.authorization())) {
        return std::string();
    }
    KTLSSession session(socket);
    if (!session.handshake(withoutBrackets(host), deadline)) return std::string();
    return exchange(session, request(path, host, params, body, headers, std::string()), deadline);
}

KHTTPClient::ReplyReader::Status KHTTPClient::ReplyReader::feed(const char* data, size_t length) {
    if (m_status != Status::NeedMore || length == 0) return m_status;
    const size_t used = m_headerComplete ? 0 : feedHeader(data, length);
    if (m_headerComplete && m_status == Status::NeedMore) feedBody(data + used, length - used);
    return m_status;
}

KHTTPClient::ReplyReader::Status KHTTPClient::ReplyReader::finish() {
    if (m_status == Status::NeedMore) end(m_headerComplete ? Status::Done : Status::Error);
    return m_status;
}

std::string KHTTPClient::ReplyReader::result() const {
    if (m_status == Status::Error || !m_headerComplete) return std::string();
    // The reply is handled as text: a zero byte ends it.
    return m_body.substr(0, m_body.find('\0'));
}

// Collects the header block and answers how many of the given bytes belong to it.
size_t KHTTPClient::ReplyReader::feedHeader(const char* data, size_t length) {
    const size_t before = m_header.size();
    const size_t room = MAX_HEADER_BYTES + HEADER_END_LENGTH - before;
    m_header.append(data, length < room ? length : room);
    const size_t found =
        m_header.find(HEADER_END, before >= HEADER_END_LENGTH ? before - 3 : 0, HEADER_END_LENGTH);
    if (found == std::string::npos) {
        if (m_header.size() >= MAX_HEADER_BYTES + HEADER_END_LENGTH) end(Status::Error);
        return length;
    }
    const size_t used = found + HEADER_END_LENGTH - before;
    m_header.resize(found);
    m_headerComplete = true;
    // A zero byte would have ended the reply text before its header block did.
    if (m_header.find('\0') != std::string::npos) {
        end(Status::Error);
        return used;
    }
    startBody(m_header);
    m_header.clear();
    return used;
}

// Chooses how the body is framed; the status line and other headers are not examined.
void KHTTPClient::ReplyReader::startBody(const std::string& headerBlock) {
    bool chunked = false, transferCoded = false, sized = false;
    uint64_t contentLength = 0;
    size_t lineStart = headerBlock.find('\n');
    while (lineStart != std::string::npos) {
        const size_t lineEnd = headerBlock.find('\n', lineStart + 1);
        std::string line = headerBlock.substr(lineStart + 1, lineEnd == std::string::npos
                                                                 ? std::string::npos
                                                                 : lineEnd - lineStart - 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            const std::string name = line.substr(0, colon);
            const std::string value = trimWhiteSpace(line.substr(colon + 1));
            if (equalsIgnoringCase(name, "transfer-encoding")) {
                transferCoded = true;
                // Only the last coding frames the message.
                const size_t comma = value.rfind(',');
                const std::string last =
                    trimWhiteSpace(comma == std::string::npos ? value : value.substr(comma + 1));
                chunked = equalsIgnoringCase(last, "chunked");
            } else if (equalsIgnoringCase(name, "content-length") && !sized) {
                sized = parseContentLength(value, contentLength);
            }
        }
        lineStart = lineEnd;
    }
    if (chunked) {
        m_phase = Phase::ChunkSize;
    } else if (sized && !transferCoded) {
        m_phase = Phase::Sized;
        m_remaining = contentLength;
        if (m_remaining == 0) end(Status::Done);
    } else {
        m_phase = Phase::UntilClose;
    }
}

void KHTTPClient::ReplyReader::feedBody(const char* data, size_t length) {
    while (length > 0 && m_status == Status::NeedMore) {
        size_t used = length;
        switch (m_phase) {
            case Phase::UntilClose:
                appendBody(data, length);
                break;
            case Phase::Sized:
            case Phase::ChunkData:
                used = feedSized(data, length);
                break;
            case Phase::ChunkSize:
            case Phase::ChunkDataEnd:
                used = feedChunkLine(data, length);
                break;
            case Phase::Header:
                end(Status::Error);
                break;
        }
        data += used;
        length -= used;
    }
}

// Takes the bytes of a body or chunk whose length is known.
size_t KHTTPClient::ReplyReader::feedSized(const char* data, size_t length) {
    const size_t used = m_remaining < length ? static_cast<size_t>(m_remaining) : length;
    appendBody(data, used);
    m_remaining -= used;
    if (m_status == Status::NeedMore && m_remaining == 0) {
        if (m_phase == Phase::Sized) {
            end(Status::Done);
        } else {
            m_phase = Phase::ChunkDataEnd;
        }
    }
    return used;
}

// Collects one line of chunk framing and answers how many of the given bytes it took.
size_t KHTTPClient::ReplyReader::feedChunkLine(const char* data, size_t length) {
    const void* newline = std::memchr(data, '\n', length);
    const size_t used =
        newline == nullptr ? length : static_cast<size_t>(static_cast<const char*>(newline) - data);
    m_line.append(data, used);
    if (m_line.size() > MAX_CHUNK_LINE_BYTES) {
        end(Status::Error);
        return length;
    }
    if (newline == nullptr) return length;
    endChunkLine();
    m_line.clear();
    return used + 1;
}

// A complete framing line: the empty line after chunk data, or a chunk size with extensions.
void KHTTPClient::ReplyReader::endChunkLine() {
    if (!m_line.empty() && m_line.back() == '\r') m_line.pop_back();
    if (m_phase == Phase::ChunkDataEnd) {
        if (!m_line.empty()) {
            end(Status::Error);
        } else {
            m_phase = Phase::ChunkSize;
        }
        return;
    }
    uint64_t size = 0;
    size_t i = 0;
    for (; i < m_line.size() && hexValue(m_line[i]) >= 0; ++i) {
        if (size > (UINT64_MAX >> 4)) {
            end(Status::Error);
            return;
        }
        size = size * 16 + static_cast<uint64_t>(hexValue(m_line[i]));
    }
    while (i < m_line.size() && (m_line[i] == ' ' || m_line[i] == '\t')) ++i;
    if (i == 0 || (i < m_line.size() && m_line[i] != ';')) {
        end(Status::Error);
        return;
    }
    // The last chunk ends the body; trailer fields carry nothing this client needs.
    if (size == 0) {
        end(Status::Done);
        return;
    }
    m_remaining = size;
    m_phase = Phase::ChunkData;
}

void KHTTPClient::ReplyReader::appendBody(const char* data, size_t length) {
    const size_t room = MAX_BODY_BYTES - m_body.size();
    m_body.append(data, length < room ? length : room);
    if (m_body.size() >= MAX_BODY_BYTES) end(Status::Done);
}

void KHTTPClient::ReplyReader::end(Status status) { m_status = status; }
