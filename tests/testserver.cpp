#include "testserver.h"
#include "testsupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// The longest single wait of the server thread; the destructor wakes it sooner through a pipe.
// Idle waits stay blocked in the kernel, which keeps a thread quiet while the test process
// spawns the agent (under qemu-user a busy thread makes that fork fragile).
constexpr int WAIT_SLICE_MS = 1000;
constexpr double REQUEST_SECONDS = 5;
constexpr double ANSWER_SECONDS = 10;
constexpr size_t MAX_REQUEST_BYTES = 256 * 1024;
constexpr size_t SEGMENT_BYTES = 7;
constexpr auto SEGMENT_PAUSE = std::chrono::milliseconds(1);
constexpr size_t CHUNK_BYTES = 5;

// A listening socket on a numeric IPv4 or IPv6 address with an ephemeral port; -1 on failure.
int listenOn(const std::string& host, int backlog, uint16_t& port) {
    sockaddr_storage address;
    std::memset(&address, 0, sizeof address);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    socklen_t size = sizeof(sockaddr_in);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        size = sizeof(sockaddr_in6);
    } else {
        return -1;
    }
    // Non-blocking, so that accept never waits for a connection that vanished after poll.
    const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(address.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    return fd;
}

int listenOnLoopback(int backlog, uint16_t& port) { return listenOn("127.0.0.1", backlog, port); }

// True when fd has the events (or an error) before the slice ends or the stop pipe wakes us.
bool waitSlice(int fd, short events, int stopPipe, int timeoutMs) {
    pollfd entries[2] = {{fd, events, 0}, {stopPipe, POLLIN, 0}};
    return poll(entries, 2, timeoutMs) > 0 && entries[0].revents != 0;
}

// Content-Length of a request header block, 0 when absent.
size_t requestBodyLength(const std::string& headerBlock) {
    std::string lower;
    for (char c : headerBlock) lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    const size_t found = lower.find("\r\ncontent-length:");
    if (found == std::string::npos) return 0;
    return std::strtoul(lower.c_str() + found + 17, nullptr, 10);
}

// True when the request's header block carries "Connection: close", in any letter case.
bool asksToClose(const std::string& request) {
    const size_t headerEnd = request.find("\r\n\r\n");
    if (headerEnd == std::string::npos) return false;
    std::string lower;
    for (char c : request.substr(0, headerEnd + 2)) {
        if (c != ' ' && c != '\t') lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return lower.find("\r\nconnection:close\r\n") != std::string::npos;
}

std::string hex(size_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%zx", value);
    return text;
}

std::string chunked(const std::string& body) {
    std::string out;
    for (size_t i = 0; i < body.size(); i += CHUNK_BYTES) {
        const std::string piece = body.substr(i, CHUNK_BYTES);
        // One chunk extension, which a reader must skip.
        out += hex(piece.size()) + (i == 0 ? ";name=value" : "") + "\r\n" + piece + "\r\n";
    }
    return out + "0\r\n\r\n";
}

std::string withLength(const std::string& statusLine, const std::string& body) {
    return statusLine +
           "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

}  // namespace

TestServer::TestServer(Mode mode, std::string body, std::string address)
    : m_mode(mode), m_body(std::move(body)), m_address(std::move(address)) {
    m_listener = listenOn(m_address, 16, m_port);
    if (m_listener >= 0 && pipe2(m_stopPipe, O_CLOEXEC) == 0) {
        m_thread = std::thread(&TestServer::serve, this);
    }
}

TestServer::~TestServer() {
    m_stopping = true;
    if (m_thread.joinable()) {
        const ssize_t written = write(m_stopPipe[1], "x", 1);
        (void)written;  // a failed wake-up only delays the stop to the end of the slice
        m_thread.join();
    }
    for (int fd : m_stopPipe) {
        if (fd >= 0) close(fd);
    }
    for (int fd : m_held) close(fd);
    if (m_listener >= 0) close(m_listener);
}

std::string TestServer::url() const {
    const bool v6 = m_address.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + m_address + "]" : m_address) + ":" + std::to_string(m_port);
}

std::vector<std::string> TestServer::requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

size_t TestServer::connections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections;
}

bool TestServer::waitForRequests(size_t count, double timeoutSeconds) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_arrived.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                              [&] { return m_requests.size() >= count; });
}

std::string TestServer::answerFor(Mode mode, const std::string& body) {
    switch (mode) {
        case Mode::Normal:
        case Mode::Segmented:
        case Mode::KeepOpen:
            return withLength("HTTP/1.1 200 OK", body);
        case Mode::NotFound:
            return withLength("HTTP/1.1 404 Not Found", body);
        case Mode::ErrorStatus:
            return withLength("HTTP/1.1 500 Internal Server Error", body);
        case Mode::Stalling:
            return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size() + 100) +
                   "\r\n\r\n" + body;
        case Mode::Chunked:
            return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(body);
        case Mode::Raw:
            return body;
        case Mode::NoContent:
            return "HTTP/1.1 204 No Content\r\nConnection: keep-alive\r\n\r\n";
        case Mode::NotModified:
            return "HTTP/1.1 304 Not Modified\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n";
        case Mode::InterimThenAnswer:
            return "HTTP/1.1 100 Continue\r\n\r\n" + withLength("HTTP/1.1 200 OK", body);
        case Mode::KeepAliveUnframed:
            return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body;
        case Mode::ResetAfterAnswer:
            return "HTTP/1.0 200 OK\r\n\r\n" + body;
        default:
            return std::string();
    }
}

void TestServer::serve() {
    while (!m_stopping) {
        if (!waitSlice(m_listener, POLLIN, m_stopPipe[0], WAIT_SLICE_MS)) continue;
        const int connection = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_connections;
        }
        handle(connection);
    }
}

void TestServer::handle(int connection) {
    const int on = 1;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const std::string request = readRequest(connection);
    if (!request.empty()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(request);
        m_arrived.notify_all();
    }
    const std::string answer = answerFor(m_mode, m_body);
    if (!answer.empty()) sendSlowly(connection, answer);

    switch (m_mode) {
        case Mode::KeepAliveUnframed:
            if (asksToClose(request)) break;
            m_held.push_back(connection);
            return;
        case Mode::Chunked:
        case Mode::KeepOpen:
        case Mode::Stalling:
        case Mode::Silent:
        case Mode::NoContent:
        case Mode::NotModified:
            m_held.push_back(connection);
            return;
        case Mode::CloseWithoutAnswer:
            // An orderly close: a client still sending then meets a reset, as with a server
            // that gave up on a request.
            shutdown(connection, SHUT_WR);
            break;
        case Mode::Reset:
        case Mode::ResetAfterAnswer: {
            const linger abort{1, 0};
            setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            break;
        }
        default:
            break;
    }
    close(connection);
}

// The header block plus as much body as its Content-Length announces, within the bounds.
std::string TestServer::readRequest(int connection) {
    std::string request;
    const auto start = Clock::now();
    char buffer[4096];
    while (!m_stopping && secondsSince(start) < REQUEST_SECONDS &&
           request.size() < MAX_REQUEST_BYTES) {
        if (!waitSlice(connection, POLLIN, m_stopPipe[0], WAIT_SLICE_MS)) continue;
        const ssize_t received = recv(connection, buffer, sizeof buffer, 0);
        if (received <= 0) break;
        request.append(buffer, static_cast<size_t>(received));
        const size_t headerEnd = request.find("\r\n\r\n");
        if (headerEnd == std::string::npos) continue;
        const size_t total = headerEnd + 4 + requestBodyLength(request.substr(0, headerEnd));
        if (request.size() >= total) {
            request.resize(total);
            break;
        }
    }
    return request;
}

// Sends data whole, or in small pieces with pauses in the segmented mode; false on failure.
bool TestServer::sendSlowly(int connection, const std::string& data) {
    const bool segmented = m_mode == Mode::Segmented;
    const auto start = Clock::now();
    size_t sent = 0;
    while (sent < data.size()) {
        if (m_stopping || secondsSince(start) > ANSWER_SECONDS) return false;
        if (!waitSlice(connection, POLLOUT, m_stopPipe[0], WAIT_SLICE_MS)) continue;
        const size_t left = data.size() - sent;
        const size_t piece = segmented && left > SEGMENT_BYTES ? SEGMENT_BYTES : left;
        const ssize_t result =
            send(connection, data.data() + sent, piece, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (result < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        if (result > 0) sent += static_cast<size_t>(result);
        if (segmented) std::this_thread::sleep_for(SEGMENT_PAUSE);
    }
    return true;
}

FullListener::FullListener() {
    // With a backlog of 0 the kernel queues one connection; once that is taken, new SYNs are
    // dropped and the client's handshake stays incomplete.
    m_listener = listenOnLoopback(0, m_port);
    if (m_listener < 0) return;
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(m_port);
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return;
        const int started = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        pollfd entry{fd, POLLOUT, 0};
        const bool completed = started == 0 || (errno == EINPROGRESS && poll(&entry, 1, 300) > 0);
        int error = 0;
        socklen_t size = sizeof error;
        if (completed && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) {
            m_fillers.push_back(fd);
            continue;
        }
        close(fd);
        m_blocks = !completed;
        return;
    }
}

FullListener::~FullListener() {
    for (int fd : m_fillers) close(fd);
    if (m_listener >= 0) close(m_listener);
}

std::string FullListener::url() const { return "http://127.0.0.1:" + std::to_string(m_port); }
