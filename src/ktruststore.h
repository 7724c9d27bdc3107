#ifndef KTRUSTSTORE_H
#define KTRUSTSTORE_H

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

struct mbedtls_x509_crt;

// The certificate authorities a TLS client trusts, from a PEM bundle. Loading keeps only each
// authority's subject name and where its encoding lies in the file; a handshake then decodes
// and parses just the authorities that can have issued the certificate in question, so that
// a bundle of every public authority costs neither the time to parse it nor the memory to
// hold it.
class KTrustStore {
public:
    // Environment variable naming a CA bundle that replaces the system's trust store.
    static constexpr char CERT_FILE_VARIABLE[] = "SSL_CERT_FILE";

    KTrustStore() = default;
    ~KTrustStore();
    KTrustStore(const KTrustStore&) = delete;
    KTrustStore& operator=(const KTrustStore&) = delete;

    // The CA bundle to trust: SSL_CERT_FILE when set and not empty, else the first bundle of
    // the known system locations that exists; empty when there is none.
    static std::string path();
    // Reads the bundle at path; false when it holds no certificate block that decodes.
    bool load(const std::string& path);
    size_t size() const { return m_authorities.size(); }
    // A newly allocated list (to be freed with mbedtls_x509_crt_free and free) of the
    // authorities whose subject is encoded exactly as child's issuer; when there is none,
    // of every authority, as the verifier also accepts names that differ in their encoding
    // only. Null when nothing parses.
    mbedtls_x509_crt* candidatesFor(const mbedtls_x509_crt& child) const;

private:
    struct Authority {
        std::string subject;  // the DER encoding of the subject name
        off_t offset;         // where the Base64 text of the certificate starts in the file
        size_t length;        // and how long it is
    };

    void addAuthority(const std::string& text, size_t bodyStart, size_t bodyEnd,
                      off_t textOffset);
    bool readCertificate(const Authority& authority, std::string& der) const;

    int m_file = -1;
    std::vector<Authority> m_authorities;
};

#endif
