#include "ktcpsocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "kconnector.h"

namespace {

// Milliseconds left until deadline, rounded up so that a wait never ends early; 0 once passed.
int millisecondsUntil(KTCPSocket::Clock::time_point deadline) {
    const auto left = deadline - KTCPSocket::Clock::now();
    if (left <= KTCPSocket::Clock::duration::zero()) return 0;
    const auto rounded = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return rounded > 0x7fffffff ? 0x7fffffff : static_cast<int>(rounded);
}

}  // namespace

KTCPSocket::KTCPSocket() : m_socket(-1) {}

KTCPSocket::~KTCPSocket() {
    if (m_socket >= 0) ::close(m_socket);
}

bool KTCPSocket::connect(const std::string& host, uint16_t port) {
    return connect(host, port, CONNECT_TIMEOUT);
}

bool KTCPSocket::connect(const std::string& host, uint16_t port,
                         std::chrono::milliseconds timeout) {
    if (m_socket >= 0) return false;
    KConnector connector;
    m_socket = connector.connect(host, port, Clock::now() + timeout);
    return m_socket >= 0;
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
