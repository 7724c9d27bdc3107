#ifndef KTCPSOCKET_H
#define KTCPSOCKET_H

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>

// Owns one TCP client socket, IPv4 or IPv6. The descriptor is non-blocking, so that no call can
// wait longer than its caller allows: the caller waits with waitReadable or waitWritable, then
// calls recv or send.
class KTCPSocket {
public:
    using Clock = std::chrono::steady_clock;
    // Long enough for a slow server across the world, short enough that a dead one is given up.
    static constexpr std::chrono::milliseconds CONNECT_TIMEOUT{5000};

    KTCPSocket();
    virtual ~KTCPSocket();
    KTCPSocket(const KTCPSocket&) = delete;
    KTCPSocket& operator=(const KTCPSocket&) = delete;

    // Connects to host (a name, or an address with IPv6 written without brackets) through every
    // address it has, as KConnector does; resolution and handshake take at most CONNECT_TIMEOUT.
    // Fails when the object already holds a connection.
    bool connect(const std::string& host, uint16_t port);
    // The same with a caller's bound.
    bool connect(const std::string& host, uint16_t port, std::chrono::milliseconds timeout);
    // Bytes sent, or -1 (errno EAGAIN when the send buffer is full). Never raises SIGPIPE.
    int32_t send(const char* data, int32_t length);
    // Bytes received, 0 once the peer has closed, or -1 (errno EAGAIN when nothing is there yet).
    int32_t recv(char* buffer, int32_t length);
    // Sends small writes at once instead of holding them for an acknowledgement: for protocols
    // that send several small messages before awaiting an answer. False on failure.
    bool sendWithoutDelay();
    // True when data, end of stream or an error can be read before the deadline.
    bool waitReadable(Clock::time_point deadline);
    // True when send can make progress (or report an error) before the deadline.
    bool waitWritable(Clock::time_point deadline);

    // Sends every byte of message through stream, going on after partial and interrupted sends;
    // false on an error or when the deadline passes first. Stream is this socket or a session
    // over it (KTLSSession): anything that sends and waits as this class does.
    template <typename Stream>
    static bool sendAll(Stream& stream, const std::string& message, Clock::time_point deadline);

private:
    bool waitFor(short events, Clock::time_point deadline);

    int32_t m_socket;
};

template <typename Stream>
bool KTCPSocket::sendAll(Stream& stream, const std::string& message, Clock::time_point deadline) {
    size_t sent = 0;
    while (sent < message.size()) {
        if (Clock::now() >= deadline || !stream.waitWritable(deadline)) return false;
        const size_t left = message.size() - sent;
        const int32_t piece = left > INT_MAX ? INT_MAX : static_cast<int32_t>(left);
        const int32_t result = stream.send(message.data() + sent, piece);
        if (result > 0) {
            sent += static_cast<size_t>(result);
        } else if (result < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
    }
    return true;
}

#endif
