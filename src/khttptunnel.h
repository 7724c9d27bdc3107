#ifndef KHTTPTUNNEL_H
#define KHTTPTUNNEL_H

#include <cstdint>
#include <string>

#include "ktcpsocket.h"

// Opens a tunnel through an HTTP proxy: over a socket connected to the proxy, asks it with
// CONNECT to reach host:port and waits for its consent. Afterwards the socket carries the
// bytes of the far end, for example a TLS session. Stateless; never instantiated.
class KHTTPTunnel {
public:
    using Clock = KTCPSocket::Clock;
    // A proxy's answer to CONNECT is a status line and a few headers.
    static constexpr size_t MAX_ANSWER_BYTES = 8192;

    KHTTPTunnel() = delete;

    // True once the proxy answered 2xx before the deadline. Anything else (another status, no
    // answer, bytes after the answer that the far end cannot have sent yet) is a failure.
    // host is a name or an address, IPv6 without brackets; authorization, when not empty, is the
    // Proxy-Authorization value the proxy asks for.
    static bool open(KTCPSocket& proxy, const std::string& host, uint16_t port,
                     Clock::time_point deadline, const std::string& authorization = std::string());
    // "CONNECT host:port HTTP/1.1" with its Host header; IPv6 literals in brackets.
    static std::string request(const std::string& host, uint16_t port,
                               const std::string& authorization = std::string());
    // True for a complete answer block ("HTTP/1.x 2xx ...") that grants the tunnel.
    static bool grants(const std::string& answer);
};

#endif
