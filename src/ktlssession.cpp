#include "ktlssession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>

#include "mbedtls/ctr_drbg.h"
#include "mbedtls/ecp.h"
#include "mbedtls/entropy.h"
#include "mbedtls/net_sockets.h"
#include "mbedtls/ssl.h"
#include "mbedtls/x509_crt.h"

namespace {

// Where the common Linux distributions keep their bundle of trusted certificate authorities.
constexpr const char* SYSTEM_TRUST_STORES[] = {
    "/etc/ssl/certs/ca-certificates.crt",  // Debian-based
    "/etc/pki/tls/certs/ca-bundle.crt",    // Red Hat-based
    "/etc/ssl/ca-bundle.pem",              // SUSE
    "/etc/ssl/cert.pem",                   // Alpine and others
};
// A bundle of every public authority is a few hundred KiB; anything far larger is not one.
constexpr off_t MAX_TRUST_STORE_BYTES = off_t{16} * 1024 * 1024;
// Key exchange groups offered, in order of preference. P-384 comes last: it is compiled in
// for certificate authorities that sign with it, and a server whose own key uses it must be
// able to complete the handshake too.
constexpr mbedtls_ecp_group_id KEY_EXCHANGE_GROUPS[] = {
    MBEDTLS_ECP_DP_CURVE25519, MBEDTLS_ECP_DP_SECP256R1, MBEDTLS_ECP_DP_SECP384R1,
    MBEDTLS_ECP_DP_NONE};
// Distinguishes this program's random stream from any other seeded from the same entropy.
constexpr unsigned char DRBG_PERSONALISATION[] = "usage-agent tls";

class Descriptor {
public:
    explicit Descriptor(int descriptor) : m_descriptor(descriptor) {}
    ~Descriptor() {
        if (m_descriptor >= 0) ::close(m_descriptor);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_descriptor; }

private:
    int m_descriptor;
};

bool fileExists(const char* path) {
    struct stat status;
    return ::stat(path, &status) == 0 && S_ISREG(status.st_mode);
}

// The whole file with a terminating zero byte, as the PEM parser wants it; empty on failure.
std::string readWithTerminator(const std::string& path) {
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status;
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size > MAX_TRUST_STORE_BYTES) {
        return std::string();
    }
    std::string content(static_cast<size_t>(status.st_size) + 1, '\0');
    size_t filled = 0;
    while (filled + 1 < content.size()) {
        const ssize_t got = ::read(file.get(), &content[filled], content.size() - 1 - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        filled += static_cast<size_t>(got);
    }
    content.resize(filled);
    content.push_back('\0');
    return content;
}

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

}  // namespace

// Every Mbed TLS context of one session, initialised together and freed together.
struct KTLSSession::State {
    State() {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&random);
        mbedtls_x509_crt_init(&trusted);
        mbedtls_ssl_config_init(&config);
        mbedtls_ssl_init(&ssl);
    }
    ~State() {
        mbedtls_ssl_free(&ssl);
        mbedtls_ssl_config_free(&config);
        mbedtls_x509_crt_free(&trusted);
        mbedtls_ctr_drbg_free(&random);
        mbedtls_entropy_free(&entropy);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context random;
    mbedtls_x509_crt trusted;
    mbedtls_ssl_config config;
    mbedtls_ssl_context ssl;
    bool established = false;
};

KTLSSession::KTLSSession(KTCPSocket& socket) : m_socket(socket) {}

KTLSSession::~KTLSSession() = default;

std::string KTLSSession::trustStorePath() {
    const char* chosen = std::getenv(CERT_FILE_VARIABLE);
    // A bundle named on purpose is used or nothing is: falling back could trust what the
    // caller meant to exclude.
    if (chosen != nullptr && chosen[0] != '\0') return chosen;
    const auto found = std::find_if(std::begin(SYSTEM_TRUST_STORES), std::end(SYSTEM_TRUST_STORES),
                                    fileExists);
    return found == std::end(SYSTEM_TRUST_STORES) ? std::string() : std::string(*found);
}

bool KTLSSession::setUp(const std::string& host) {
    const std::string storePath = trustStorePath();
    if (storePath.empty()) return false;
    const std::string store = readWithTerminator(storePath);
    if (store.size() <= 1) return false;

    m_state.reset(new State);
    State& state = *m_state;
    // A bundle may hold certificates this build cannot read (other key types); the rest count.
    const int parsed = mbedtls_x509_crt_parse(
        &state.trusted, reinterpret_cast<const unsigned char*>(store.data()), store.size());
    if (parsed < 0 || state.trusted.version == 0) return false;

    if (mbedtls_ctr_drbg_seed(&state.random, mbedtls_entropy_func, &state.entropy,
                              DRBG_PERSONALISATION, sizeof DRBG_PERSONALISATION - 1) != 0 ||
        mbedtls_ssl_config_defaults(&state.config, MBEDTLS_SSL_IS_CLIENT,
                                    MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
        return false;
    }
    mbedtls_ssl_conf_authmode(&state.config, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_chain(&state.config, &state.trusted, nullptr);
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
        if (!wantsIo(result) || Clock::now() >= deadline) return false;
        const bool ready = result == MBEDTLS_ERR_SSL_WANT_READ ? m_socket.waitReadable(deadline)
                                                               : m_socket.waitWritable(deadline);
        if (!ready) return false;
    }
    // The required mode already fails the handshake on a bad chain; this keeps it explicit.
    m_state->established = mbedtls_ssl_get_verify_result(&ssl) == 0;
    return m_state->established;
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
