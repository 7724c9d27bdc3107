// HTTPS through the real client against nginx serving TLS on loopback, with certificates the
// test makes with openssl and trusts through SSL_CERT_FILE.
#include "ktlssession.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "khttpclient.h"
#include "ktruststore.h"
#include "testserver.h"
#include "testsupport.h"
#include "tlstestserver.h"

namespace {

using Clock = std::chrono::steady_clock;
using Issue = TestPki::Issue;
using Key = TestPki::Key;
using std::chrono::milliseconds;

// Bounds for calls that must end by the handshake's outcome, not by time-out.
constexpr milliseconds LONG_WAIT{30000};
constexpr milliseconds SHORT_WAIT{300};
// Generous ceilings: far below LONG_WAIT, far above what a loopback exchange needs (even
// under an emulator).
constexpr double DID_NOT_HANG = 8.0;
constexpr double FAILED_AT_ONCE = 3.0;

std::string postWithin(const std::string& url, milliseconds replyTimeout,
                       const std::string& body = "") {
    return KHTTPClient::post(url, {{"info", "abc"}}, body, {}, LONG_WAIT, replyTimeout);
}

// A listener on loopback that the kernel completes handshakes for and nobody ever speaks on.
class MuteListener {
public:
    MuteListener() : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            listen(m_fd, 8) == 0 &&
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            m_port = ntohs(address.sin_port);
        }
    }
    ~MuteListener() { close(m_fd); }
    MuteListener(const MuteListener&) = delete;
    MuteListener& operator=(const MuteListener&) = delete;
    std::string url() const { return "https://localhost:" + std::to_string(m_port); }

private:
    int m_fd;
    uint16_t m_port = 0;
};

// One certificate authority for the whole suite; each test names the bundle it trusts.
class TlsRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (TestPki::available()) s_pki.reset(new TestPki);
    }
    static void TearDownTestSuite() { s_pki.reset(); }

    void SetUp() override {
        if (!NginxTlsServer::available() || !s_pki) {
            GTEST_SKIP() << "nginx or openssl is not installed";
        }
        ASSERT_TRUE(s_pki->ok()) << "openssl could not make the test authority";
        m_trust.reset(new ScopedEnvironment(KTrustStore::CERT_FILE_VARIABLE, s_pki->caFile()));
    }

    // A server with a fresh certificate of the given kind, answering as location says.
    std::unique_ptr<NginxTlsServer> serve(const std::string& name, Issue issue,
                                          const std::string& location, Key key = Key::Ec,
                                          const std::string& directives = "") {
        EXPECT_TRUE(s_pki->make(name, issue, key)) << name;
        std::unique_ptr<NginxTlsServer> server(
            new NginxTlsServer(s_pki->dir() + "/" + name + ".crt",
                               s_pki->dir() + "/" + name + ".key", directives, location));
        EXPECT_TRUE(server->running()) << server->errorLog();
        return server;
    }

    static std::unique_ptr<TestPki> s_pki;
    std::unique_ptr<ScopedEnvironment> m_trust;
};

std::unique_ptr<TestPki> TlsRun::s_pki;

// The trace names the outcome, so that a failing machine shows which check failed.
TEST_F(TlsRun, OnlyAVerifiedChainForTheHostGetsThroughAndFailuresComeAtOnce) {
    struct Case {
        const char* name;
        Issue issue;
        Key key;
        const char* expected;
        const char* traced;
    };
    const Case cases[] = {
        {"ecdsa", Issue::Valid, Key::Ec, "success", "verified"},
        {"rsa", Issue::Valid, Key::Rsa, "success", "verified"},
        {"othername", Issue::OtherName, Key::Ec, "", "name mismatch"},
        {"expired", Issue::Expired, Key::Ec, "", "expired"},
        {"selfsigned", Issue::SelfSigned, Key::Ec, "", "not trusted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto server = serve(c.name, c.issue, NginxTlsServer::answering("success"), c.key);
        const TraceCapture trace;
        const auto start = Clock::now();
        EXPECT_EQ(postWithin(server->url() + "/api", LONG_WAIT), c.expected);
        EXPECT_LT(secondsSince(start), DID_NOT_HANG);
        EXPECT_TRUE(containsInOrder(trace.text(), {"TLS: trust store", c.traced}));
    }
}

TEST_F(TlsRun, ServerOfferingOnlyTlsBelow12IsRefused) {
    const auto server = serve("old", Issue::Valid, NginxTlsServer::answering("success"), Key::Ec,
                              "ssl_protocols TLSv1 TLSv1.1; ssl_ciphers DEFAULT:@SECLEVEL=0;");
    // Only meaningful where this OpenSSL still completes such a handshake itself.
    const RunResult probe = runProgram(
        {"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(server->port()),
         "-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0", "-CAfile", s_pki->caFile()},
        30);
    if (probe.status != 0 || probe.out.find("Protocol  : TLSv1.1") == std::string::npos) {
        GTEST_SKIP() << "this OpenSSL does not serve TLS 1.1";
    }
    const auto start = Clock::now();
    EXPECT_EQ(postWithin(server->url(), LONG_WAIT), "");
    EXPECT_LT(secondsSince(start), DID_NOT_HANG);
}

TEST_F(TlsRun, RepliesOverTlsAreReadWhateverTheirFraming) {
    struct Case {
        const char* name;
        TestServer::Mode mode;
    };
    const Case cases[] = {
        {"content-length", TestServer::Mode::Normal},
        {"chunked", TestServer::Mode::Chunked},
        {"segmented", TestServer::Mode::Segmented},
    };
    const std::string body(3000, 'b');
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer backend(c.mode, "{\"result\":\"success\"}");
        const auto server = serve(c.name, Issue::Valid, NginxTlsServer::proxyingTo(backend.port()));
        EXPECT_EQ(postWithin(server->url() + "/api/usage", LONG_WAIT, body),
                  "{\"result\":\"success\"}");
        const std::vector<std::string> requests = backend.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].compare(0, 35, "POST /api/usage?info=abc HTTP/1.1\r\n"), 0)
            << requests[0];
        // The host alone, as over plain HTTP: the port is not part of it.
        EXPECT_NE(requests[0].find("Host: localhost\r\n"), std::string::npos) << requests[0];
        EXPECT_EQ(requests[0].substr(requests[0].size() - body.size()), body);
    }
}

TEST_F(TlsRun, ServersThatDoNotSpeakTlsFail) {
    // A plain HTTP server answers the client's greeting with an error and closes: no wait.
    const NginxTlsServer plain("", "", "", NginxTlsServer::answering("success"));
    ASSERT_TRUE(plain.running()) << plain.errorLog();
    auto start = Clock::now();
    EXPECT_EQ(postWithin(plain.url(), LONG_WAIT), "");
    EXPECT_LT(secondsSince(start), FAILED_AT_ONCE);

    // A server that accepts and never answers holds the client only for the exchange's bound.
    MuteListener mute;
    start = Clock::now();
    EXPECT_EQ(postWithin(mute.url(), SHORT_WAIT), "");
    EXPECT_LT(secondsSince(start), DID_NOT_HANG);
}

TEST_F(TlsRun, WithoutAUsableTrustStoreNothingIsTrusted) {
    const auto server = serve("trusted", Issue::Valid, NginxTlsServer::answering("success"));
    const TempDir dir;
    writeFile(dir.file("empty.pem"), "");
    writeFile(dir.file("garbage.pem"), "-----BEGIN CERTIFICATE-----\nnot base64\n");
    for (const std::string& store :
         {dir.file("missing.pem"), dir.file("empty.pem"), dir.file("garbage.pem"), dir.path()}) {
        SCOPED_TRACE(store);
        const ScopedEnvironment trust(KTrustStore::CERT_FILE_VARIABLE, store);
        EXPECT_EQ(postWithin(server->url(), LONG_WAIT), "");
    }
    // The system's authorities do not know the test's own.
    const ScopedEnvironment unset(KTrustStore::CERT_FILE_VARIABLE, "");
    EXPECT_EQ(postWithin(server->url(), LONG_WAIT), "");
}

TEST_F(TlsRun, UnreadableEntriesOfABundleDoNotSpoilTheRest) {
    const auto server = serve("amid", Issue::Valid, NginxTlsServer::answering("success"));
    const TempDir dir;
    const std::string broken = "-----BEGIN CERTIFICATE-----\nMIIBAAAA\n-----END CERTIFICATE-----\n";
    const std::string notBase64 = "-----BEGIN CERTIFICATE-----\n*?*\n-----END CERTIFICATE-----\n";
    // The authority's block straddles the first boundary where the bundle is read in pieces.
    const std::string filler(16384 - broken.size() - notBase64.size() - 100, '#');
    writeFile(dir.file("bundle.pem"), broken + notBase64 + filler +
                                          readFile(s_pki->caFile()) + "trailing text\n" + broken);
    const ScopedEnvironment trust(KTrustStore::CERT_FILE_VARIABLE, dir.file("bundle.pem"));
    EXPECT_EQ(postWithin(server->url(), LONG_WAIT), "success");
}

TEST(KTLSSessionTest, NoDataMovesBeforeAHandshake) {
    KTCPSocket socket;
    KTLSSession session(socket);
    char buffer[16];
    EXPECT_EQ(session.send("x", 1), -1);
    EXPECT_EQ(session.recv(buffer, sizeof buffer), -1);
    EXPECT_FALSE(session.handshake("", Clock::now() + SHORT_WAIT));
}

}  // namespace
