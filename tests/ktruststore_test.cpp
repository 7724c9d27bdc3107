#include "ktruststore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "testsupport.h"
#include "tlstestserver.h"

namespace {

TEST(KTrustStoreTest, PathIsTheNamedBundleElseAnExistingSystemOne) {
    {
        const ScopedEnvironment named(KTrustStore::CERT_FILE_VARIABLE, "/nonexistent/bundle.pem");
        EXPECT_EQ(KTrustStore::path(), "/nonexistent/bundle.pem");
    }
    const ScopedEnvironment unset(KTrustStore::CERT_FILE_VARIABLE, "");
    const std::string system = KTrustStore::path();
    const std::vector<std::string> known = {
        "/etc/ssl/certs/ca-certificates.crt", "/etc/pki/tls/certs/ca-bundle.crt",
        "/etc/ssl/ca-bundle.pem", "/etc/ssl/cert.pem"};
    bool listed = false;
    for (const std::string& path : known) {
        if (path == system) {
            listed = true;
            break;
        }
        // An earlier location that exists would have been chosen.
        EXPECT_FALSE(fileExists(path)) << path;
    }
    EXPECT_TRUE(system.empty() || (listed && fileExists(system))) << system;
}

// Every certificate block is found wherever the pieces the file is read in happen to end,
// and blocks that do not decode or are no certificate are left out.
TEST(KTrustStoreTest, LoadFindsEveryDecodableBlockAcrossReadBoundaries) {
    if (!TestPki::available()) GTEST_SKIP() << "openssl is not installed";
    const TestPki pki;
    ASSERT_TRUE(pki.ok());
    const std::string ca = readFile(pki.caFile());
    const std::string broken = "-----BEGIN CERTIFICATE-----\nMIIBAAAA\n-----END CERTIFICATE-----\n";
    const std::string unended = "-----BEGIN CERTIFICATE-----\nMIIB";
    const TempDir dir;
    const std::string bundle = dir.file("bundle.pem");
    for (size_t filler : {size_t{0}, size_t{16384 - 20}, size_t{16384 - 5}, size_t{16384 + 3},
                          size_t{70000}}) {
        SCOPED_TRACE(filler);
        writeFile(bundle, std::string(filler, 'x') + ca + broken + std::string(filler, '-') + ca +
                              unended);
        KTrustStore store;
        EXPECT_TRUE(store.load(bundle));
        EXPECT_EQ(store.size(), 2u);
    }
    for (const std::string& content : {std::string(), broken, unended, std::string(100000, '-')}) {
        writeFile(bundle, content);
        KTrustStore store;
        EXPECT_FALSE(store.load(bundle));
        EXPECT_EQ(store.size(), 0u);
    }
    KTrustStore store;
    EXPECT_FALSE(store.load(dir.path()));
    EXPECT_FALSE(store.load(dir.file("missing.pem")));
}

}  // namespace
