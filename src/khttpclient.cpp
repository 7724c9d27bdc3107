#include "khttpclient.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "ktcpsocket.h"

namespace {

using Clock = KTCPSocket::Clock;

// The receive buffer of one read; the reader takes any piece size.
constexpr size_t RECEIVE_BUFFER_BYTES = 8192;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal digits only, from 1 to 65535; an empty text means the default port.
bool parsePort(const std::string& text, uint16_t& port) {
    if (text.empty()) {
        port = 80;
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

// Loops over partial sends until every byte is out; false on an error or when time runs out.
bool sendAll(KTCPSocket& socket, const std::string& message, Clock::time_point deadline) {
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
std::string readReply(KTCPSocket& socket, Clock::time_point deadline) {
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
            // A reset after the reply (or part of it) keeps what came, as the deadline does.
            break;
        }
    }
    return reader.result();
}

}  // namespace

// url and path are taken by value, as these operations have always been declared.
// cppcheck-suppress passedByValue
bool KHTTPClient::urlParse(std::string url,  // NOLINT(performance-unnecessary-value-param)
                           std::string& host, uint16_t& port, std::string& path) {
    const size_t prefixLength = sizeof HTTP_PREFIX - 1;
    if (url.compare(0, prefixLength, HTTP_PREFIX) != 0) return false;
    const std::string rest = url.substr(prefixLength);
    const size_t slash = rest.find('/');
    const std::string authority = slash == std::string::npos ? rest : rest.substr(0, slash);
    if (authority.empty()) return false;

    const size_t colon = authority.find(':');
    const std::string newHost = authority.substr(0, colon);
    uint16_t newPort = 80;
    if (colon != std::string::npos && !parsePort(authority.substr(colon + 1), newPort)) {
        return false;
    }
    if (newHost.empty()) return false;
    host = newHost;
    port = newPort;
    path = slash == std::string::npos ? "/" : rest.substr(slash);
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
    if (!urlParse(url, host, port, path)) return std::string();
    KTCPSocket socket;
    if (!socket.connect(host, port, connectTimeout)) return std::string();

    // Neither entry overwrites the caller's: the caller may name its own host or length.
    Params fields = headers;
    fields.emplace("host", host);
    // Many servers refuse a POST without a body length.
    fields.emplace("Content-Length", std::to_string(body.size()));
    // One request per connection: the server's close then ends any reply without a length.
    fields.emplace("Connection", "close");
    const std::string message = generateMsg("POST", path, params, body, fields);

    const Clock::time_point deadline = Clock::now() + replyTimeout;
    if (!sendAll(socket, message, deadline)) return std::string();
    return readReply(socket, deadline);
}
