#include "kconnector.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "khttpclient.h"
#include "netnssandbox.h"
#include "sandboxtools.h"
#include "testserver.h"
#include "testsupport.h"

namespace {

using Clock = KConnector::Clock;
using std::chrono::milliseconds;

// Far above what a staggered start needs (one attempt delay), far below the 5 s bound.
constexpr double WELL_BELOW_THE_BOUND = 2.5;
constexpr double DID_NOT_HANG = 4.0;

KConnector::Address address(const char* text, uint16_t port) {
    KConnector::Address a;
    std::memset(&a, 0, sizeof a);
    if (inet_pton(AF_INET, text, &a.socket.v4.sin_addr) == 1) {
        a.socket.v4.sin_family = AF_INET;
        a.socket.v4.sin_port = htons(port);
        a.length = sizeof(sockaddr_in);
    } else {
        EXPECT_EQ(inet_pton(AF_INET6, text, &a.socket.v6.sin6_addr), 1) << text;
        a.socket.v6.sin6_family = AF_INET6;
        a.socket.v6.sin6_port = htons(port);
        a.length = sizeof(sockaddr_in6);
    }
    return a;
}

KConnector::AddressList listOf(const std::vector<KConnector::Address>& addresses) {
    KConnector::AddressList list;
    for (const KConnector::Address& a : addresses) list.items[list.count++] = a;
    return list;
}

uint16_t portOf(const KConnector::Address& a) {
    return ntohs(a.socket.any.sa_family == AF_INET ? a.socket.v4.sin_port : a.socket.v6.sin6_port);
}

// The local port of the peer a descriptor is connected to, 0 if none.
uint16_t peerPort(int fd) {
    sockaddr_storage peer;
    socklen_t size = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) return 0;
    return ntohs(peer.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&peer)->sin_port
                                           : reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port);
}

// A port on 127.0.0.1 that is bound and, if told, listening without ever accepting: the kernel
// completes handshakes there, and no descriptor of this process is made for them. Without
// listening, connecting there is refused.
class LoopbackPort {
public:
    explicit LoopbackPort(bool listening) : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            (!listening || listen(m_fd, 16) == 0) &&
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &size) == 0) {
            m_port = ntohs(a.sin_port);
        }
    }
    ~LoopbackPort() { close(m_fd); }
    LoopbackPort(const LoopbackPort&) = delete;
    LoopbackPort& operator=(const LoopbackPort&) = delete;
    uint16_t port() const { return m_port; }

private:
    int m_fd;
    uint16_t m_port = 0;
};

// ---- order of attempts ----

struct InterleaveCase {
    const char* families;  // the resolver's order, one digit per address: 4 or 6
    const char* expected;  // the attempt order, as positions in the resolver's order
};

TEST(KConnectorTest, InterleaveAlternatesFamiliesFromTheFirstAndKeepsEachFamilysOrder) {
    const InterleaveCase cases[] = {
        {"", ""},          {"4", "0"},          {"46", "01"},
        {"6644", "0213"},  {"4466", "0213"},    {"66644", "03142"},
        {"64444", "01234"}, {"44446", "04123"}, {"464646", "012345"},
    };
    for (const InterleaveCase& c : cases) {
        std::vector<KConnector::Address> addresses;
        for (uint16_t i = 0; c.families[i] != '\0'; ++i) {
            addresses.push_back(address(c.families[i] == '4' ? "127.0.0.1" : "::1", i));
        }
        const KConnector::AddressList ordered = KConnector::interleave(listOf(addresses));
        std::string positions;
        for (size_t i = 0; i < ordered.count; ++i) {
            positions += static_cast<char>('0' + portOf(ordered.items[i]));
        }
        EXPECT_EQ(positions, c.expected) << c.families;
    }
}

TEST(KConnectorTest, ResolveTakesAddressLiteralsOfBothFamiliesAndRefusesNonsense) {
    const Clock::time_point deadline = Clock::now() + milliseconds(5000);
    const KConnector::AddressList v6 = KConnector::resolve("::1", 8080, deadline);
    ASSERT_EQ(v6.count, 1u);
    EXPECT_EQ(v6.items[0].socket.any.sa_family, AF_INET6);
    EXPECT_EQ(portOf(v6.items[0]), 8080);
    const KConnector::AddressList v4 = KConnector::resolve("127.0.0.1", 80, deadline);
    ASSERT_EQ(v4.count, 1u);
    EXPECT_EQ(v4.items[0].socket.any.sa_family, AF_INET);
    EXPECT_EQ(portOf(v4.items[0]), 80);
    EXPECT_EQ(KConnector::resolve("", 80, deadline).count, 0u);
    EXPECT_EQ(KConnector::resolve("[::1]", 80, deadline).count, 0u);
    // A label longer than 63 bytes is refused by the resolver itself, so no query leaves.
    EXPECT_EQ(KConnector::resolve(std::string(70, 'a') + ".invalid", 80, deadline).count, 0u);
}

// ---- racing on loopback ----

TEST(KConnectorTest, RefusedAddressHandsOverToTheNextAtOnce) {
    LoopbackPort refusing(false);
    TestServer server;
    const auto start = Clock::now();
    KConnector connector;
    const int fd = connector.connect(
        listOf({address("127.0.0.1", refusing.port()), address("127.0.0.1", server.port())}),
        start + milliseconds(30000));
    ASSERT_GE(fd, 0);
    EXPECT_EQ(peerPort(fd), server.port());
    EXPECT_LT(secondsSince(start), WELL_BELOW_THE_BOUND);
    close(fd);
}

TEST(KConnectorTest, SilentAddressDoesNotHoldUpTheNextAndIsClosedWhenAnotherWins) {
    FullListener silent;
    if (!silent.blocksHandshakes()) {
        GTEST_SKIP() << "this kernel completes handshakes even with a full accept queue";
    }
    LoopbackPort server(true);
    const size_t before = openDescriptors();
    const auto start = Clock::now();
    int fd = -1;
    {
        KConnector connector;
        fd = connector.connect(
            listOf({address("127.0.0.1", silent.port()), address("127.0.0.1", server.port())}),
            start + milliseconds(5000));
    }
    const double seconds = secondsSince(start);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(peerPort(fd), server.port());
    EXPECT_LT(seconds, WELL_BELOW_THE_BOUND);
    EXPECT_EQ(openDescriptors(), before + 1);  // the winner only
    close(fd);
}

TEST(KConnectorTest, NoAddressThatAnswersEndsAtTheDeadlineOrAtOnce) {
    FullListener silent;
    if (!silent.blocksHandshakes()) {
        GTEST_SKIP() << "this kernel completes handshakes even with a full accept queue";
    }
    LoopbackPort refusing(false);
    const size_t before = openDescriptors();
    struct Case {
        const char* what;
        KConnector::AddressList addresses;
        milliseconds bound;
    };
    const Case cases[] = {
        {"silent ones wait out the short deadline",
         listOf({address("127.0.0.1", silent.port()), address("127.0.0.1", silent.port())}),
         milliseconds(300)},
        {"refused ones end long before the deadline",
         listOf({address("127.0.0.1", refusing.port()), address("127.0.0.1", refusing.port())}),
         milliseconds(30000)},
        {"nothing to try", KConnector::AddressList(), milliseconds(30000)},
    };
    for (const Case& c : cases) {
        const auto start = Clock::now();
        {
            KConnector connector;
            EXPECT_EQ(connector.connect(c.addresses, start + c.bound), -1) << c.what;
        }
        EXPECT_LT(secondsSince(start), DID_NOT_HANG) << c.what;
        EXPECT_EQ(openDescriptors(), before) << c.what;
    }
}

// ---- names in namespaces of the test's own ----

TEST(KConnectorTest, NameWhoseFirstAddressRefusesDeliversTheRecordThroughTheSecond) {
    const SandboxOutcome outcome = runInNetworkSandbox(loopbackOnly(), [](const std::string&) {
        TempDir dir;
        const std::string failed = replaceSystemFile(
            dir, "/etc/hosts", "127.0.0.1 localhost\n127.0.0.1 collector.test\n127.0.0.3 collector.test\n");
        if (!failed.empty()) return failed;
        TestServer collector(TestServer::Mode::Normal, "success", "127.0.0.3");
        TestServer fallback;
        const RunResult run = runAgentWithServers(
            dir, "http://collector.test:" + std::to_string(collector.port()), fallback.url());
        collector.waitForRequests(1, 5);
        const std::vector<std::string> requests = collector.requests();
        return "exit " + std::to_string(run.status) + (run.out + run.err).substr(0, 200) +
               ", collector " + std::to_string(requests.size()) + ", fallback " +
               std::to_string(fallback.connections()) +
               (requests.empty() || requests[0].find("\r\nhost:collector.test\r\n") == std::string::npos
                    ? ", no host line"
                    : "");
    });
    ASSERT_SANDBOX_DONE(outcome);
    EXPECT_EQ(outcome.text, "exit 0, collector 1, fallback 0");
}

// The IPv6 path goes to a neighbour that exists only as a static entry: packets leave through
// the veth pair and are dropped at the far end, so handshakes there never complete.
NetworkSetup silentIPv6Path() {
    NetworkSetup setup = loopbackOnly();
    const std::vector<std::vector<std::string>> more = {
        {"ip", "link", "add", "va", "type", "veth", "peer", "name", "vb"},
        {"ip", "link", "set", "va", "up"},
        {"ip", "link", "set", "vb", "up"},
        {"ip", "-6", "addr", "add", "2001:db8::1/64", "dev", "va", "nodad"},
        {"ip", "-6", "neigh", "add", "2001:db8::2", "lladdr", "02:00:00:00:00:02", "dev", "va",
         "nud", "permanent"},
    };
    setup.commands.insert(setup.commands.end(), more.begin(), more.end());
    return setup;
}

TEST(KConnectorTest, SilentIPv6PathGivesWayToIPv4WellWithinTheBound) {
    const SandboxOutcome outcome =
        runInNetworkSandboxForLookups(silentIPv6Path(), [](const std::string&) {
        TempDir dir;
        const std::string failed = replaceSystemFile(
            dir, "/etc/hosts", "2001:db8::2 collector.test\n127.0.0.1 collector.test\n");
        if (!failed.empty()) return failed;
        TestServer collector;
        const auto start = Clock::now();
        const KConnector::AddressList order =
            KConnector::resolve("collector.test", collector.port(), start + milliseconds(5000));
        std::string families;
        for (size_t i = 0; i < order.count; ++i) {
            families += order.items[i].socket.any.sa_family == AF_INET6 ? '6' : '4';
        }
        // The real bounds: only the staggered start can make this quick.
        const std::string reply = KHTTPClient::post(
            "http://collector.test:" + std::to_string(collector.port()) + "/api", {}, "", {});
        const bool quick = secondsSince(start) < WELL_BELOW_THE_BOUND;
        return "order " + families + ", reply " + reply + ", requests " +
               std::to_string(collector.requests().size()) + (quick ? "" : ", slow");
    });
    ASSERT_SANDBOX_DONE(outcome);
    EXPECT_EQ(outcome.text, "order 64, reply success, requests 1");
}

// A name server on loopback that takes queries and never answers.
class SilentNameServer {
public:
    SilentNameServer() : m_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(53);
        m_bound = bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~SilentNameServer() { close(m_fd); }
    SilentNameServer(const SilentNameServer&) = delete;
    SilentNameServer& operator=(const SilentNameServer&) = delete;
    bool bound() const { return m_bound; }
    bool queried() const {
        char buffer[512];
        return recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0;
    }

private:
    int m_fd;
    bool m_bound = false;
};

// Without a bound, each lookup here would take 2 tries x 10 s.
std::string useSilentNameServer(const TempDir& dir) {
    for (const auto& file : {std::make_pair("/etc/hosts", "127.0.0.1 localhost\n"),
                             std::make_pair("/etc/resolv.conf",
                                            "nameserver 127.0.0.1\noptions timeout:10 attempts:2\n"),
                             std::make_pair("/etc/nsswitch.conf", "hosts: files dns\n")}) {
        const std::string failed = replaceSystemFile(dir, file.first, file.second);
        if (!failed.empty()) return failed;
    }
    return std::string();
}

TEST(KConnectorTest, SilentNameServerCostsNoMoreThanTheDeadline) {
    const SandboxOutcome outcome =
        runInNetworkSandboxForLookups(loopbackOnly(), [](const std::string&) {
        TempDir dir;
        const std::string failed = useSilentNameServer(dir);
        if (!failed.empty()) return failed;
        SilentNameServer nameServer;
        if (!nameServer.bound()) return std::string("cannot bind 127.0.0.1:53");
        const auto start = Clock::now();
        KConnector connector;
        const int fd = connector.connect("collector.example", 80, start + milliseconds(300));
        const bool quick = secondsSince(start) < DID_NOT_HANG;
        return "fd " + std::to_string(fd) + (nameServer.queried() ? "" : ", no query") +
               (quick ? "" : ", slow");
    });
    ASSERT_SANDBOX_DONE(outcome);
    EXPECT_EQ(outcome.text, "fd -1");
}

// The one run with the agent's real bound: the first attempt gives up its lookup after 5 s and
// the record goes to the fallback server.
TEST(KConnectorTest, AgentWithASilentNameServerReachesTheFallbackAfterOneBound) {
    const SandboxOutcome outcome = runInNetworkSandbox(loopbackOnly(), [](const std::string&) {
        TempDir dir;
        const std::string failed = useSilentNameServer(dir);
        if (!failed.empty()) return failed;
        SilentNameServer nameServer;
        if (!nameServer.bound()) return std::string("cannot bind 127.0.0.1:53");
        TestServer fallback;
        const RunResult run =
            runAgentWithServers(dir, "http://collector.example:8080", fallback.url());
        // 5 s for the bound, the rest for a slow emulator; unbounded it would be 20 s.
        return "exit " + std::to_string(run.status) + (run.out + run.err).substr(0, 200) +
               ", fallback " +
               std::to_string(fallback.requests().size()) + (run.seconds < 12 ? "" : ", slow");
    });
    ASSERT_SANDBOX_DONE(outcome);
    EXPECT_EQ(outcome.text, "exit 0, fallback 1");
}

}  // namespace
