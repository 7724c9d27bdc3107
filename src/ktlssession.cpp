#include "ktlssession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "mbedtls/asn1.h"
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

// The whole file, or empty on failure.
std::string readWhole(const std::string& path) {
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status;
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size > MAX_TRUST_STORE_BYTES) {
        return std::string();
    }
    std::string content(static_cast<size_t>(status.st_size), '\0');
    size_t filled = 0;
    while (filled < content.size()) {
        const ssize_t got = ::read(file.get(), &content[filled], content.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        filled += static_cast<size_t>(got);
    }
    content.resize(filled);
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

const char PEM_BEGIN[] = "-----BEGIN CERTIFICATE-----";
const char PEM_END[] = "-----END CERTIFICATE-----";

// Base64 as PEM carries it, line breaks and other white space ignored; false when malformed.
// Certificate authorities are public, so speed matters here and constant time does not.
bool decodeBase64(const char* text, size_t length, std::string& out) {
    uint32_t bits = 0;
    int pending = 0, padding = 0;
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        int value = -1;
        if (c >= 'A' && c <= 'Z') value = c - 'A';
        else if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
        else if (c >= '0' && c <= '9') value = c - '0' + 52;
        else if (c == '+') value = 62;
        else if (c == '/') value = 63;
        else if (c == '=') ++padding;
        else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        else return false;
        if (value < 0) continue;
        if (padding > 0) return false;  // data after padding
        bits = (bits << 6) | static_cast<uint32_t>(value);
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            out.push_back(static_cast<char>((bits >> pending) & 0xff));
        }
    }
    return padding <= 2 && !out.empty();
}

// The DER encodings of every certificate block of a PEM bundle.
std::vector<std::string> decodePemBundle(const std::string& bundle) {
    std::vector<std::string> certificates;
    const size_t beginLength = sizeof PEM_BEGIN - 1;
    size_t at = bundle.find(PEM_BEGIN);
    while (at != std::string::npos) {
        const size_t body = at + beginLength;
        const size_t end = bundle.find(PEM_END, body);
        if (end == std::string::npos) break;
        std::string der;
        if (decodeBase64(bundle.data() + body, end - body, der)) certificates.push_back(der);
        at = bundle.find(PEM_BEGIN, end);
    }
    return certificates;
}

// The encoded subject name of a DER certificate, found without parsing the rest of it.
bool subjectOf(const std::string& der, const unsigned char*& subject, size_t& subjectLength) {
    const int sequence = MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE;
    unsigned char* p = reinterpret_cast<unsigned char*>(const_cast<char*>(der.data()));
    const unsigned char* end = p + der.size();
    size_t length = 0;
    if (mbedtls_asn1_get_tag(&p, end, &length, sequence) != 0) return false;
    end = p + length;
    if (mbedtls_asn1_get_tag(&p, end, &length, sequence) != 0) return false;  // tbsCertificate
    end = p + length;
    // The explicit version field, tag [0].
    const int version = MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED;
    if (mbedtls_asn1_get_tag(&p, end, &length, version) == 0) p += length;
    if (mbedtls_asn1_get_tag(&p, end, &length, MBEDTLS_ASN1_INTEGER) != 0) return false;
    p += length;  // serial number
    for (int skipped = 0; skipped < 3; ++skipped) {  // signature algorithm, issuer, validity
        if (mbedtls_asn1_get_tag(&p, end, &length, sequence) != 0) return false;
        p += length;
    }
    const unsigned char* start = p;
    if (mbedtls_asn1_get_tag(&p, end, &length, sequence) != 0) return false;
    subject = start;
    subjectLength = static_cast<size_t>(p - start) + length;
    return true;
}

bool namesIssuer(const std::string& der, const mbedtls_x509_crt& child) {
    const unsigned char* subject = nullptr;
    size_t length = 0;
    return subjectOf(der, subject, length) && length == child.issuer_raw.len &&
           std::equal(subject, subject + length, child.issuer_raw.p);
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
    // The trust store stays encoded: a handshake parses only the authorities it asks for.
    std::vector<std::string> authorities;
    mbedtls_ssl_config config;
    mbedtls_ssl_context ssl;
    bool established = false;
};

namespace {

// Adds every certificate of ders that parses to the list behind candidates (made on demand).
void parseInto(const std::vector<const std::string*>& ders, mbedtls_x509_crt** candidates) {
    for (const std::string* der : ders) {
        if (*candidates == nullptr) {
            *candidates = static_cast<mbedtls_x509_crt*>(std::calloc(1, sizeof(mbedtls_x509_crt)));
            if (*candidates == nullptr) return;
            mbedtls_x509_crt_init(*candidates);
        }
        // A bundle may hold certificates this build cannot read (other key types); they are
        // no one's parent here.
        (void)mbedtls_x509_crt_parse_der(*candidates,
                                         reinterpret_cast<const unsigned char*>(der->data()),
                                         der->size());
    }
    if (*candidates != nullptr && (*candidates)->version == 0) {
        mbedtls_x509_crt_free(*candidates);
        std::free(*candidates);
        *candidates = nullptr;
    }
}

}  // namespace

// Offers the trusted authorities that may have issued child: those whose subject is encoded
// exactly as child's issuer. When none is, every authority is offered, so that names which
// match only under the looser comparison of the verifier are not lost.
int KTLSSession::findAuthorities(void* context, const mbedtls_x509_crt* child,
                                 mbedtls_x509_crt** candidates) {
    const auto& authorities = *static_cast<const std::vector<std::string>*>(context);
    std::vector<const std::string*> chosen;
    for (const std::string& der : authorities) {
        if (namesIssuer(der, *child)) chosen.push_back(&der);
    }
    if (chosen.empty()) {
        for (const std::string& der : authorities) chosen.push_back(&der);
    }
    *candidates = nullptr;
    parseInto(chosen, candidates);
    return 0;
}

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
    const std::string store = readWhole(storePath);

    m_state.reset(new State);
    State& state = *m_state;
    state.authorities = decodePemBundle(store);
    if (state.authorities.empty()) return false;

    if (mbedtls_ctr_drbg_seed(&state.random, mbedtls_entropy_func, &state.entropy,
                              DRBG_PERSONALISATION, sizeof DRBG_PERSONALISATION - 1) != 0 ||
        mbedtls_ssl_config_defaults(&state.config, MBEDTLS_SSL_IS_CLIENT,
                                    MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
        return false;
    }
    mbedtls_ssl_conf_authmode(&state.config, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_cb(&state.config, findAuthorities, &state.authorities);
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
