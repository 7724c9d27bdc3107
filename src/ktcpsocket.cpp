#include "ktcpsocket.h"

KTCPSocket::KTCPSocket() : m_socket(-1) {}

KTCPSocket::~KTCPSocket() {}

bool KTCPSocket::connect(const std::string& host, uint16_t port) {
    (void)host;
    (void)port;
    return false;
}

int32_t KTCPSocket::send(const char* data, int32_t length) {
    (void)data;
    (void)length;
    return -1;
}

int32_t KTCPSocket::recv(char* buffer, int32_t length) {
    (void)buffer;
    (void)length;
    return -1;
}
