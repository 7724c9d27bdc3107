#include "ktcpsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// The first IPv4 address of host in network order, or false when the name does not resolve.
bool resolveIPv4(const std::string& host, in_addr& address) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
    bool resolved = false;
    if (found->ai_family == AF_INET && found->ai_addrlen >= sizeof(sockaddr_in)) {
        address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        resolved = true;
    }
    freeaddrinfo(found);
    return resolved;
}

// Milliseconds left until deadline, rounded up so that a wait never ends early; 0 once passed.
int millisecondsUntil(KTCPSocket::Clock::time_point deadline) {
    const auto left = deadline - KTCPSocket::Clock::now();
    if (left <= KTCPSocket::Clock::duration::zero()) return 0;
    const auto rounded = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return rounded > 0x7fffffff ? 0x7fffffff : static_cast<int>(rounded);
}

}  // namespace

KTCPSocket::KTCPSocket() : m_socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {}

KTCPSocket::~KTCPSocket() {
    if (m_socket >= 0) ::close(m_socket);
}

bool KTCPSocket::connect(const std::string& host, uint16_t port) {
    return connect(host, port, CONNECT_TIMEOUT);
}

bool KTCPSocket::connect(const std::string& host, uint16_t port,
                         std::chrono::milliseconds timeout) {
    if (m_socket < 0) return false;
    in_addr address;
    if (!resolveIPv4(host, address)) return false;
    const auto deadline = Clock::now() + timeout;

    sockaddr_in peer;
    std::memset(&peer, 0, sizeof peer);
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr = address;

    // Non-blocking, so that a handshake that never completes costs no more than the time-out.
    const int flags = fcntl(m_socket, F_GETFL);
    if (flags < 0 || fcntl(m_socket, F_SETFL, flags | O_NONBLOCK) < 0) return false;
    if (::connect(m_socket, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) {
        return true;
    }
    if (errno != EINPROGRESS && errno != EINTR) return false;
    return finishConnect(deadline);
}

// Waits for the handshake started by a non-blocking connect and tells whether it succeeded.
bool KTCPSocket::finishConnect(Clock::time_point deadline) {
    if (!waitWritable(deadline)) return false;
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(m_socket, SOL_SOCKET, SO_ERROR, &error, &size) < 0) return false;
    return error == 0;
}

int32_t KTCPSocket::send(const char* data, int32_t length) {
    if (length < 0) return -1;
    // A peer that has gone away must cost this request, not the whole process.
    return static_cast<int32_t>(::send(m_socket, data, static_cast<size_t>(length), MSG_NOSIGNAL));
}

int32_t KTCPSocket::recv(char* buffer, int32_t length) {
    if (length < 0) return -1;
    return static_cast<int32_t>(::recv(m_socket, buffer, static_cast<size_t>(length), 0));
}

bool KTCPSocket::sendWithoutDelay() {
    const int enable = 1;
    return m_socket >= 0 &&
           setsockopt(m_socket, IPPROTO_TCP, TCP_NODELAY, &enable, sizeof enable) == 0;
}

bool KTCPSocket::waitReadable(Clock::time_point deadline) { return waitFor(POLLIN, deadline); }

bool KTCPSocket::waitWritable(Clock::time_point deadline) { return waitFor(POLLOUT, deadline); }

// Errors and hang-ups count as ready: the following send, recv or SO_ERROR reports them.
bool KTCPSocket::waitFor(short events, Clock::time_point deadline) {
    if (m_socket < 0) return false;
    for (;;) {
        pollfd entry{m_socket, events, 0};
        const int ready = ::poll(&entry, 1, millisecondsUntil(deadline));
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) return false;
    }
}
