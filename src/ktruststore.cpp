#include "ktruststore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <iterator>

#include "mbedtls/asn1.h"
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
constexpr off_t MAX_BUNDLE_BYTES = off_t{16} * 1024 * 1024;
// Real certificates stay far below this in PEM; a longer block is skipped.
constexpr size_t MAX_BLOCK_BYTES = size_t{64} * 1024;
constexpr size_t READ_BYTES = 16384;
constexpr char PEM_BEGIN[] = "-----BEGIN CERTIFICATE-----";
constexpr char PEM_END[] = "-----END CERTIFICATE-----";
constexpr size_t PEM_BEGIN_LENGTH = sizeof PEM_BEGIN - 1;
constexpr size_t PEM_END_LENGTH = sizeof PEM_END - 1;

bool fileExists(const char* path) {
    struct stat status;
    return ::stat(path, &status) == 0 && S_ISREG(status.st_mode);
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Base64 as PEM carries it, white space ignored; false when malformed. Certificate
// authorities are public, so speed matters here and constant time does not.
bool decodeBase64(const char* text, size_t length, std::string& out) {
    out.clear();
    uint32_t bits = 0;
    int pending = 0, padding = 0;
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        const int value = base64Value(c);
        if (value < 0 || padding > 0) return false;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            out.push_back(static_cast<char>((bits >> pending) & 0xff));
        }
    }
    return padding <= 2 && !out.empty();
}

// The encoded subject name of a DER certificate, found without parsing the rest of it.
bool subjectOf(const std::string& der, std::string& subject) {
    const int sequence = MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE;
    // mbedtls_asn1_get_tag only reads through its pointer; it is not const for history.
    unsigned char* p = reinterpret_cast<unsigned char*>(const_cast<char*>(der.data()));
    const unsigned char* end = p + der.size();
    size_t length = 0;
    if (mbedtls_asn1_get_tag(&p, end, &length, sequence) != 0) return false;  // Certificate
    end = p + length;
    if (mbedtls_asn1_get_tag(&p, end, &length, sequence) != 0) return false;  // tbsCertificate
    end = p + length;
    // The explicit version field, tag [0], is optional.
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
    subject.assign(reinterpret_cast<const char*>(start), static_cast<size_t>(p - start) + length);
    return true;
}

bool readAt(int file, off_t offset, size_t length, std::string& text) {
    text.assign(length, '\0');
    size_t filled = 0;
    while (filled < length) {
        const ssize_t got = ::pread(file, &text[filled], length - filled,
                                    offset + static_cast<off_t>(filled));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        filled += static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

KTrustStore::~KTrustStore() {
    if (m_file >= 0) ::close(m_file);
}

std::string KTrustStore::path() {
    const char* chosen = std::getenv(CERT_FILE_VARIABLE);
    // A bundle named on purpose is used or nothing is: falling back could trust what the
    // caller meant to exclude.
    if (chosen != nullptr && chosen[0] != '\0') return chosen;
    const auto found = std::find_if(std::begin(SYSTEM_TRUST_STORES),
                                    std::end(SYSTEM_TRUST_STORES), fileExists);
    return found == std::end(SYSTEM_TRUST_STORES) ? std::string() : std::string(*found);
}

// Reads the file in pieces, keeping in memory only the block being looked at.
bool KTrustStore::load(const std::string& path) {
    m_authorities.clear();
    if (m_file >= 0) ::close(m_file);
    m_file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (m_file < 0 || ::fstat(m_file, &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size > MAX_BUNDLE_BYTES) {
        return false;
    }
    std::string window;
    off_t windowOffset = 0;
    char piece[READ_BYTES];
    for (bool ended = false;;) {
        const size_t begin = window.find(PEM_BEGIN);
        const size_t end =
            begin == std::string::npos ? begin : window.find(PEM_END, begin + PEM_BEGIN_LENGTH);
        size_t drop = 0;
        if (end != std::string::npos) {
            addAuthority(window, begin + PEM_BEGIN_LENGTH, end, windowOffset);
            drop = end + PEM_END_LENGTH;
        } else if (ended) {
            break;
        } else if (begin == std::string::npos) {
            // Only the tail can still hold the start of a marker.
            drop = window.size() > PEM_BEGIN_LENGTH ? window.size() - PEM_BEGIN_LENGTH : 0;
        } else {
            drop = window.size() - begin > MAX_BLOCK_BYTES ? begin + 1 : begin;
        }
        window.erase(0, drop);
        windowOffset += static_cast<off_t>(drop);
        if (end != std::string::npos) continue;
        const ssize_t got = ::read(m_file, piece, sizeof piece);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ended = true;
        } else {
            window.append(piece, static_cast<size_t>(got));
        }
    }
    return !m_authorities.empty();
}

void KTrustStore::addAuthority(const std::string& text, size_t bodyStart, size_t bodyEnd,
                               off_t textOffset) {
    std::string der, subject;
    if (!decodeBase64(text.data() + bodyStart, bodyEnd - bodyStart, der) ||
        !subjectOf(der, subject)) {
        return;
    }
    m_authorities.push_back(
        {subject, textOffset + static_cast<off_t>(bodyStart), bodyEnd - bodyStart});
}

bool KTrustStore::readCertificate(const Authority& authority, std::string& der) const {
    std::string text;
    return readAt(m_file, authority.offset, authority.length, text) &&
           decodeBase64(text.data(), text.size(), der);
}

mbedtls_x509_crt* KTrustStore::candidatesFor(const mbedtls_x509_crt& child) const {
    const std::string issuer(reinterpret_cast<const char*>(child.issuer_raw.p),
                             child.issuer_raw.len);
    const bool known = std::any_of(m_authorities.begin(), m_authorities.end(),
                                   [&issuer](const Authority& a) { return a.subject == issuer; });
    // Allocated as the verifier frees it.
    auto* list = static_cast<mbedtls_x509_crt*>(std::calloc(1, sizeof(mbedtls_x509_crt)));
    if (list == nullptr) return nullptr;
    mbedtls_x509_crt_init(list);
    std::string der;
    for (const Authority& authority : m_authorities) {
        if (known && authority.subject != issuer) continue;
        // A bundle may hold certificates this build cannot read (other key types); they are
        // no one's parent here.
        if (readCertificate(authority, der)) {
            (void)mbedtls_x509_crt_parse_der(list, reinterpret_cast<const unsigned char*>(der.data()),
                                             der.size());
        }
    }
    if (list->version == 0) {
        mbedtls_x509_crt_free(list);
        std::free(list);
        return nullptr;
    }
    return list;
}
