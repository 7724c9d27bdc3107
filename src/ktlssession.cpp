#include "ktlssession.h"

#include <cerrno>

#include "ktrace.h"
#include "ktruststore.h"
#include "mbedtls/ctr_drbg.h"
#include "mbedtls/ecp.h"
#include "mbedtls/entropy.h"
#include "mbedtls/net_sockets.h"
#include "mbedtls/ssl.h"
#include "mbedtls/x509_crt.h"

namespace {

// Key exchange groups offered, in order of preference. P-384 comes last: it is compiled in
// for certificate authorities that sign with it, and a server whose own key uses it must be
// able to complete the handshake too.
constexpr mbedtls_ecp_group_id KEY_EXCHANGE_GROUPS[] = {
    MBEDTLS_ECP_DP_CURVE25519, MBEDTLS_ECP_DP_SECP256R1, MBEDTLS_ECP_DP_SECP384R1,
    MBEDTLS_ECP_DP_NONE};
// Distinguishes this program's random stream from any other seeded from the same entropy.
constexpr unsigned char DRBG_PERSONALISATION[] = "usage-agent tls";

bool wantsIo(int result) {
    return result == MBEDTLS_ERR_SSL_WANT_READ || result == MBEDTLS_ERR_SSL_WANT_WRITE;
}

bool isTransient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// The session's transport: the agent's socket, with "try again" translated for Mbed TLS.
int sendThroughSocket(void* context, const unsigned char* data, size_t length) {
    const int32_t piece = length > 0x7fffffff ? 0x7fffffff : static_cast<int32_t>(length);
    const int32_t sent =
        static_cast<KTCPSocket*>(context)->send(reinterpret_cast<const char*>(data), piece);
    if (sent >= 0) return sent;
    return isTransient(errno) ? MBEDTLS_ERR_SSL_WANT_WRITE : MBEDTLS_ERR_NET_SEND_FAILED;
}

int receiveThroughSocket(void* context, unsigned char* buffer, size_t length) {
    const int32_t piece = length > 0x7fffffff ? 0x7fffffff : static_cast<int32_t>(length);
    const int32_t received =
        static_cast<KTCPSocket*>(context)->recv(reinterpret_cast<char*>(buffer), piece);
    if (received >= 0) return received;
    return isTransient(errno) ? MBEDTLS_ERR_SSL_WANT_READ : MBEDTLS_ERR_NET_RECV_FAILED;
}

// Why a handshake ended without a session: the library's error code and the certificate checks that failed, as Mbed TLS numbers them (x509.h: MBEDTLS_X509_BADCERT_*).
void traceFailure(const mbedtls_ssl_context& ssl, int error) {
    if (!KTrace::enabled()) return;
    const uint32_t checks = mbedtls_ssl_get_verify_result(&ssl);
    KTrace::event("TLS: handshake failed, error -0x%04x, failed certificate checks 0x%08x%s",
                  static_cast<unsigned>(-error), static_cast<unsigned>(checks),
                  (checks & MBEDTLS_X509_BADCERT_CN_MISMATCH) != 0 ? " (name mismatch)"
                  : (checks & MBEDTLS_X509_BADCERT_EXPIRED) != 0   ? " (expired)"
                  : (checks & MBEDTLS_X509_BADCERT_NOT_TRUSTED) != 0 ? " (not trusted)"
                                                                     : "");
}

}  // namespace

// Every Mbed TLS context of one session, initialised together and freed together.
struct KTLSSession::State {
    State() {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&random);
        mbedtls_ssl_config_init(&config);
        mbedtls_ssl_init(&ssl);
    }
    ~State() {
        mbedtls_ssl_free(&ssl);
        mbedtls_ssl_config_free(&config);
        mbedtls_ctr_drbg_free(&random);
        mbedtls_entropy_free(&entropy);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context random;
    KTrustStore trusted;
    mbedtls_ssl_config config;
    mbedtls_ssl_context ssl;
    bool established = false;
};

// The verifier asks for the trusted authorities that may have issued child.
int KTLSSession::findAuthorities(void* context, const mbedtls_x509_crt* child,
                                 mbedtls_x509_crt** candidates) {
    *candidates = static_cast<const KTrustStore*>(context)->candidatesFor(*child);
    return 0;
}

KTLSSession::KTLSSession(KTCPSocket& socket) : m_socket(socket) {}

KTLSSession::~KTLSSession() = default;

bool KTLSSession::setUp(const std::string& host) {
    const std::string storePath = KTrustStore::path();
    if (storePath.empty()) {
        KTrace::event("TLS: no trust store (SSL_CERT_FILE or a system bundle): the attempt fails");
        return false;
    }
    m_state.reset(new State);
    State& state = *m_state;
    if (!state.trusted.load(storePath)) {
        KTrace::event("TLS: trust store %s holds no usable certificate", storePath.c_str());
        return false;
    }
    KTrace::event("TLS: trust store %s", storePath.c_str());

    if (mbedtls_ctr_drbg_seed(&state.random, mbedtls_entropy_func, &state.entropy,
                              DRBG_PERSONALISATION, sizeof DRBG_PERSONALISATION - 1) != 0 ||
        mbedtls_ssl_config_defaults(&state.config, MBEDTLS_SSL_IS_CLIENT,
                                    MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
        return false;
    }
    mbedtls_ssl_conf_authmode(&state.config, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_cb(&state.config, findAuthorities, &state.trusted);
    mbedtls_ssl_conf_rng(&state.config, mbedtls_ctr_drbg_random, &state.random);
    mbedtls_ssl_conf_min_version(&state.config, MBEDTLS_SSL_MAJOR_VERSION_3,
                                 MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_max_version(&state.config, MBEDTLS_SSL_MAJOR_VERSION_3,
                                 MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_curves(&state.config, KEY_EXCHANGE_GROUPS);

    if (mbedtls_ssl_setup(&state.ssl, &state.config) != 0) return false;
    // The name goes out as SNI and is the name the certificate must carry.
    if (mbedtls_ssl_set_hostname(&state.ssl, host.c_str()) != 0) return false;
    mbedtls_ssl_set_bio(&state.ssl, &m_socket, sendThroughSocket, receiveThroughSocket, nullptr);
    return true;
}

bool KTLSSession::handshake(const std::string& host, Clock::time_point deadline) {
    if (m_state || host.empty() || !setUp(host)) return false;
    // The client's second flight is three records written one by one; held back until the
    // server acknowledges the first, it would cost a delayed acknowledgement (about 40 ms).
    if (!m_socket.sendWithoutDelay()) return false;
    mbedtls_ssl_context& ssl = m_state->ssl;
    for (;;) {
        const int result = mbedtls_ssl_handshake(&ssl);
        if (result == 0) break;
        const bool ready = wantsIo(result) && Clock::now() < deadline &&
                           (result == MBEDTLS_ERR_SSL_WANT_READ ? m_socket.waitReadable(deadline)
                                                                : m_socket.waitWritable(deadline));
        if (!ready) {
            if (wantsIo(result)) {
                KTrace::event("TLS: handshake not done within the reply bound");
            } else {
                traceFailure(ssl, result);
            }
            return false;
        }
    }
    // The required mode already fails the handshake on a bad chain; this keeps it explicit.
    m_state->established = mbedtls_ssl_get_verify_result(&ssl) == 0;
    if (!m_state->established) {
        traceFailure(ssl, 0);
        return false;
    }
    KTrace::event("TLS: session with %s verified, %s", host.c_str(),
                  mbedtls_ssl_get_ciphersuite(&ssl));
    return true;
}

int32_t KTLSSession::send(const char* data, int32_t length) {
    if (!m_state || !m_state->established || length < 0) {
        errno = ENOTCONN;
        return -1;
    }
    const int result = mbedtls_ssl_write(&m_state->ssl, reinterpret_cast<const unsigned char*>(data),
                                         static_cast<size_t>(length));
    if (result >= 0) return result;
    errno = wantsIo(result) ? EAGAIN : EIO;
    return -1;
}

int32_t KTLSSession::recv(char* buffer, int32_t length) {
    if (!m_state || !m_state->established || length < 0) {
        errno = ENOTCONN;
        return -1;
    }
    const int result = mbedtls_ssl_read(&m_state->ssl, reinterpret_cast<unsigned char*>(buffer),
                                        static_cast<size_t>(length));
    if (result >= 0) return result;
    // Whether or not the server said goodbye first, the stream has ended; the reply's own
    // framing tells the reader whether it is complete.
    if (result == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY || result == MBEDTLS_ERR_SSL_CONN_EOF) return 0;
    errno = wantsIo(result) ? EAGAIN : EIO;
    return -1;
}

bool KTLSSession::waitReadable(Clock::time_point deadline) {
    // Bytes already decrypted, or a record already taken off the socket, are ready now.
    if (m_state && mbedtls_ssl_check_pending(&m_state->ssl) != 0) return true;
    return m_socket.waitReadable(deadline);
}

bool KTLSSession::waitWritable(Clock::time_point deadline) {
    return m_socket.waitWritable(deadline);
}
