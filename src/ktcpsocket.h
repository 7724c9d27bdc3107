#ifndef KTCPSOCKET_H
#define KTCPSOCKET_H

#include <cstdint>
#include <string>

// Owns one IPv4 TCP client socket.
class KTCPSocket {
public:
    KTCPSocket();
    virtual ~KTCPSocket();
    KTCPSocket(const KTCPSocket&) = delete;
    KTCPSocket& operator=(const KTCPSocket&) = delete;

    bool connect(const std::string& host, uint16_t port);
    int32_t send(const char* data, int32_t length);
    int32_t recv(char* buffer, int32_t length);

private:
    int32_t m_socket;
};

#endif
