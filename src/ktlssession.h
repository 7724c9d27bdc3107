#ifndef KTLSSESSION_H
#define KTLSSESSION_H

#include <cstdint>
#include <memory>
#include <string>

#include "ktcpsocket.h"

struct mbedtls_x509_crt;

// A TLS 1.2 client session over a connected KTCPSocket. The server's certificate chain must
// verify against the trust store and name the host; there is no way to skip either check.
// After a successful handshake, send, recv, waitReadable and waitWritable behave like the
// socket's own, carrying plain bytes through the encrypted channel, so that whatever reads a
// reply from a socket reads it from a session just the same.
class KTLSSession {
public:
    using Clock = KTCPSocket::Clock;

    // Nothing of TLS is set up until handshake; the socket must outlive the session.
    explicit KTLSSession(KTCPSocket& socket);
    ~KTLSSession();
    KTLSSession(const KTLSSession&) = delete;
    KTLSSession& operator=(const KTLSSession&) = delete;

    // Loads the trust store (KTrustStore::path), sends host as server name and completes a verified handshake
    // before the deadline; false on any failure, including a missing trust store.
    bool handshake(const std::string& host, Clock::time_point deadline);
    // Plain bytes taken, or -1 (errno EAGAIN when the socket cannot take more yet).
    int32_t send(const char* data, int32_t length);
    // Plain bytes received, 0 once the peer has closed, or -1 (errno EAGAIN when nothing is
    // there yet).
    int32_t recv(char* buffer, int32_t length);
    // True when recv can make progress (or report an error) before the deadline.
    bool waitReadable(Clock::time_point deadline);
    // True when send can make progress (or report an error) before the deadline.
    bool waitWritable(Clock::time_point deadline);

private:
    struct State;

    static int findAuthorities(void* context, const mbedtls_x509_crt* child,
                               mbedtls_x509_crt** candidates);
    bool setUp(const std::string& host);

    KTCPSocket& m_socket;
    std::unique_ptr<State> m_state;
};

#endif
