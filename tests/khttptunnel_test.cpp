// CONNECT tunnels: the answer rules, and a TLS exchange through tinyproxy to nginx on loopback.
#include "khttptunnel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "khttpclient.h"
#include "ktruststore.h"
#include "ktlssession.h"
#include "sandboxtools.h"
#include "tlstestserver.h"
#include "testsupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds LONG_WAIT{30000};
constexpr milliseconds SHORT_WAIT{300};
constexpr double DID_NOT_HANG = 8.0;

uint16_t boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// A loopback listener: mute ones complete handshakes and never speak; closed ones are gone.
class Listener {
public:
    explicit Listener(bool keepOpen) : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(m_fd, 8);
        m_port = boundPort(m_fd);
        if (!keepOpen) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~Listener() {
        if (m_fd >= 0) close(m_fd);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    uint16_t port() const { return m_port; }

private:
    int m_fd;
    uint16_t m_port = 0;
};

// tinyproxy on a free loopback port, in the foreground, stopped within a bound on destruction.
class Tinyproxy {
public:
    Tinyproxy() {
        const Listener probe(false);
        m_port = probe.port();
        chmod(m_dir.path().c_str(), 0755);
        std::string config = "Port " + std::to_string(m_port) +
                             "\nListen 127.0.0.1\nTimeout 30\nMaxClients 8\nAllow 127.0.0.1\n"
                             // Older releases keep a pool of processes and must be told its size.
                             "StartServers 2\nMinSpareServers 1\nMaxSpareServers 4\n";
        if (geteuid() == 0) config += "User nobody\nGroup nogroup\n";
        writeFile(m_dir.file("tinyproxy.conf"), config);
        m_program.reset(new BackgroundProgram(
            {"tinyproxy", "-d", "-c", m_dir.file("tinyproxy.conf")}, m_dir.file("tinyproxy.out")));
        for (int i = 0; m_program->started() && i < 200 && !ready(); ++i) {
            std::this_thread::sleep_for(milliseconds(25));
        }
    }
    Tinyproxy(const Tinyproxy&) = delete;
    Tinyproxy& operator=(const Tinyproxy&) = delete;

    uint16_t port() const { return m_port; }
    bool ready() const {
        KTCPSocket socket;
        return socket.connect("127.0.0.1", m_port, milliseconds(500));
    }
    static bool available() {
        return runProgram({"sh", "-c", "command -v tinyproxy"}, 10).status == 0;
    }

private:
    TempDir m_dir;
    std::unique_ptr<BackgroundProgram> m_program;
    uint16_t m_port = 0;
};

// Through the tunnel: a verified handshake with host, then one request and its reply.
std::string exchangeThrough(KTCPSocket& socket, const std::string& host) {
    const auto deadline = Clock::now() + LONG_WAIT;
    KTLSSession session(socket);
    if (!session.handshake(host, deadline)) return "no handshake";
    const std::string request = "POST / HTTP/1.1\r\nhost:" + host + "\r\nContent-Length:0\r\n\r\n";
    size_t sent = 0;
    while (sent < request.size() && session.waitWritable(deadline)) {
        const int32_t n = session.send(request.data() + sent, static_cast<int32_t>(request.size() - sent));
        if (n > 0) sent += static_cast<size_t>(n);
        if (n < 0 && errno != EAGAIN) return "send failed";
    }
    KHTTPClient::ReplyReader reader;
    char buffer[4096];
    while (reader.status() == KHTTPClient::ReplyReader::Status::NeedMore &&
           session.waitReadable(deadline)) {
        const int32_t n = session.recv(buffer, sizeof buffer);
        if (n > 0) reader.feed(buffer, static_cast<size_t>(n));
        if (n == 0) reader.finish();
        if (n < 0 && errno != EAGAIN) break;
    }
    return reader.result();
}

TEST(KHTTPTunnelTest, RequestNamesTheFarEndInBothPlaces) {
    EXPECT_EQ(KHTTPTunnel::request("srv.example", 443),
              "CONNECT srv.example:443 HTTP/1.1\r\nHost: srv.example:443\r\n\r\n");
    EXPECT_EQ(KHTTPTunnel::request("2001:db8::1", 8443),
              "CONNECT [2001:db8::1]:8443 HTTP/1.1\r\nHost: [2001:db8::1]:8443\r\n\r\n");
    // The proxy's credentials go on the tunnel request, never inside the tunnel.
    EXPECT_EQ(KHTTPTunnel::request("srv.example", 443, "Basic dXNlcjpzZWNyZXQ="),
              "CONNECT srv.example:443 HTTP/1.1\r\nHost: srv.example:443\r\n"
              "Proxy-Authorization: Basic dXNlcjpzZWNyZXQ=\r\n\r\n");
}

TEST(KHTTPTunnelTest, OnlyACompleteTwoHundredAnswerGrantsTheTunnel) {
    const struct {
        const char* answer;
        bool grants;
    } cases[] = {
        {"HTTP/1.1 200 Connection established\r\n\r\n", true},
        {"HTTP/1.0 200 OK\r\nProxy-agent: x\r\n\r\n", true},
        {"HTTP/1.1 204\r\n\r\n", true},
        {"HTTP/1.1 200 OK\r\n", false},                       // incomplete
        {"HTTP/1.1 200 OK\r\n\r\n\x16\x03\x03", false},       // bytes after the answer
        {"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", false},
        {"HTTP/1.1 500 Unable to connect\r\n\r\n", false},
        {"HTTP/1.1 2000 OK\r\n\r\n", false},
        {"HTTP/2 200\r\n\r\n", false},
        {"http/1.1 200 OK\r\n\r\n", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(KHTTPTunnel::grants(c.answer), c.grants) << c.answer;
}

class TunnelRun : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Tinyproxy::available() || !NginxTlsServer::available() || !TestPki::available()) {
            GTEST_SKIP() << "tinyproxy, nginx or openssl is not installed";
        }
    }
};

TEST_F(TunnelRun, TlsGoesThroughTinyproxyToTheServer) {
    const TestPki pki;
    ASSERT_TRUE(pki.ok() && pki.make("leaf", TestPki::Issue::Valid));
    setenv(KTrustStore::CERT_FILE_VARIABLE, pki.caFile().c_str(), 1);
    const NginxTlsServer server(pki.dir() + "/leaf.crt", pki.dir() + "/leaf.key", "",
                                NginxTlsServer::answering("success"));
    const Tinyproxy proxy;
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(proxy.ready());

    KTCPSocket socket;
    ASSERT_TRUE(socket.connect("127.0.0.1", proxy.port()));
    ASSERT_TRUE(KHTTPTunnel::open(socket, "localhost", server.port(), Clock::now() + LONG_WAIT));
    EXPECT_EQ(exchangeThrough(socket, "localhost"), "success");
    unsetenv(KTrustStore::CERT_FILE_VARIABLE);
}

TEST_F(TunnelRun, RefusedOrSilentProxiesFailWithinTheBound) {
    const Tinyproxy proxy;
    ASSERT_TRUE(proxy.ready());
    const Listener closed(false);
    {
        KTCPSocket socket;
        ASSERT_TRUE(socket.connect("127.0.0.1", proxy.port()));
        const auto start = Clock::now();
        EXPECT_FALSE(KHTTPTunnel::open(socket, "127.0.0.1", closed.port(), Clock::now() + LONG_WAIT));
        EXPECT_LT(secondsSince(start), DID_NOT_HANG);
    }
    const Listener mute(true);
    KTCPSocket socket;
    ASSERT_TRUE(socket.connect("127.0.0.1", mute.port()));
    const auto start = Clock::now();
    EXPECT_FALSE(KHTTPTunnel::open(socket, "localhost", 443, Clock::now() + SHORT_WAIT));
    EXPECT_LT(secondsSince(start), DID_NOT_HANG);
}

// The agent's own post to an https:// server whose name is not a loopback one: it goes through the
// proxy of https_proxy or not at all. The name is given to 127.0.0.1 by the sandbox's hosts file,
// which tinyproxy reads too.
TEST_F(TunnelRun, HttpsPostGoesThroughTheProxyOfHttpsProxyOrNowhere) {
    const SandboxOutcome outcome =
        runInNetworkSandboxForLookups(loopbackOnly(), [](const std::string&) {
            TempDir dir;
            const std::string failed =
                replaceSystemFile(dir, "/etc/hosts", "127.0.0.1 localhost collector.test\n");
            if (!failed.empty()) return failed;
            const TestPki pki;
            if (!pki.ok() || !pki.make("leaf", TestPki::Issue::Valid)) return std::string("no pki");
            const ScopedEnvironment trust(KTrustStore::CERT_FILE_VARIABLE, pki.caFile().c_str());
            const NginxTlsServer server(pki.dir() + "/leaf.crt", pki.dir() + "/leaf.key", "",
                                        NginxTlsServer::answering("success"));
            const Tinyproxy proxy;
            if (!server.running() || !proxy.ready()) return std::string("servers did not start");
            const std::string url = "https://collector.test:" + std::to_string(server.port()) + "/";
            const auto post = [&url] { return KHTTPClient::post(url, {{"info", "abc"}}, "", {}); };
            unsetenv("no_proxy");
            unsetenv("NO_PROXY");
            std::string text;
            {
                const std::string proxyValue = "http://127.0.0.1:" + std::to_string(proxy.port());
                const ScopedEnvironment via("https_proxy", proxyValue.c_str());
                const ScopedEnvironment plainOnly("http_proxy", "http://127.0.0.1:1");
                text += "through the proxy: " + post();
            }
            {
                const ScopedEnvironment down("https_proxy", "http://127.0.0.1:1");
                text += ", proxy down: " + post();
                const ScopedEnvironment bypass("no_proxy", "collector.test");
                text += ", bypassed: " + post();
            }
            return text;
        });
    ASSERT_SANDBOX_DONE(outcome);
    EXPECT_EQ(outcome.text, "through the proxy: success, proxy down: , bypassed: success");
}

}  // namespace
