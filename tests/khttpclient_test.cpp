#include "khttpclient.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "netnssandbox.h"
#include "testserver.h"
#include "testsupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using Mode = TestServer::Mode;
using std::chrono::milliseconds;

// Bounds for calls that must end by framing, not by time-out: far above what they need.
constexpr milliseconds LONG_WAIT{30000};
constexpr double WELL_BEFORE_LONG_WAIT = 15.0;
// Bounds for time-out cases: short, asserted only against a generous ceiling.
constexpr milliseconds SHORT_WAIT{300};
constexpr double DID_NOT_HANG = 8.0;

std::string postWithin(const std::string& url, milliseconds connectTimeout,
                       milliseconds replyTimeout, const std::string& body = "") {
    return KHTTPClient::post(url, {}, body, {}, connectTimeout, replyTimeout);
}

std::string longBody() {
    std::string body;
    for (int i = 0; i < 120; ++i) body += "line " + std::to_string(i) + " success\r\n";
    return body;
}

// ---- urlParse ----

struct UrlCase {
    const char* url;
    bool ok;
    const char* host;
    uint16_t port;
    const char* path;
};

TEST(KHTTPClientTest, UrlParseSplitsOrRefuses) {
    const UrlCase cases[] = {
        {"http://srv", true, "srv", 80, "/"},
        {"http://srv/", true, "srv", 80, "/"},
        {"http://srv:8080/a/b?x=1", true, "srv", 8080, "/a/b?x=1"},
        {"http://srv:/a", true, "srv", 80, "/a"},
        {"http://srv:1", true, "srv", 1, "/"},
        {"http://srv:65535/", true, "srv", 65535, "/"},
        {"http://srv:0080/x#f", true, "srv", 80, "/x#f"},
        {"http://10.0.0.1:81/api/", true, "10.0.0.1", 81, "/api/"},
        {"http://srv:0/a", false, "", 0, ""},
        {"http://srv:65536/a", false, "", 0, ""},
        {"http://srv:70000/a", false, "", 0, ""},
        {"http://srv:-1/a", false, "", 0, ""},
        {"http://srv:+80/a", false, "", 0, ""},
        {"http://srv: 80/a", false, "", 0, ""},
        {"http://srv:12ab/a", false, "", 0, ""},
        {"http://srv:80:81/a", false, "", 0, ""},
        {"http://srv:99999999999999999999/a", false, "", 0, ""},
        {"https://srv/a", false, "", 0, ""},
        {"HTTP://srv/a", false, "", 0, ""},
        {"ftp://srv/a", false, "", 0, ""},
        {"xhttp://srv/a", false, "", 0, ""},
        {"http:/srv/a", false, "", 0, ""},
        {"", false, "", 0, ""},
        {"http://", false, "", 0, ""},
        {"http:///a", false, "", 0, ""},
        {"http://:80/a", false, "", 0, ""},
        // IPv6 addresses are written in brackets, which stay part of the host.
        {"http://[::1]:8080/path", true, "[::1]", 8080, "/path"},
        {"http://[::1]", true, "[::1]", 80, "/"},
        {"http://[::1]:/a", true, "[::1]", 80, "/a"},
        {"http://[2001:DB8::a]/x", true, "[2001:DB8::a]", 80, "/x"},
        {"http://[::ffff:10.0.0.1]:81/", true, "[::ffff:10.0.0.1]", 81, "/"},
        {"http://[::1]:0/", false, "", 0, ""},
        {"http://[::1]x/a", false, "", 0, ""},
        {"http://[::1/a", false, "", 0, ""},
        {"http://[]/a", false, "", 0, ""},
        {"http://[10.0.0.1]/a", false, "", 0, ""},
        {"http://[fe80::1%25eth0]/a", false, "", 0, ""},
        {"http://[srv]/a", false, "", 0, ""},
        {"http://a[b]/", false, "", 0, ""},
        {"http://srv]/", false, "", 0, ""},
        {"http://::1/", false, "", 0, ""},
        // A blank or control byte anywhere would break the request line or add header lines;
        // bytes from 0x80 up are left alone.
        {"http://srv /a", false, "", 0, ""},
        {"http://srv/a b", false, "", 0, ""},
        {"http://srv/a\r\nX-Injected: 1", false, "", 0, ""},
        {"http://srv/a\n", false, "", 0, ""},
        {"http://srv/\t", false, "", 0, ""},
        {"http://s\x01rv/", false, "", 0, ""},
        {"http://srv/\x1f", false, "", 0, ""},
        {"http://srv/\x7f", false, "", 0, ""},
        {"http://srv/\xC3\xA9", true, "srv", 80, "/\xC3\xA9"},
        {"http://srv/~!", true, "srv", 80, "/~!"},
    };
    for (const UrlCase& c : cases) {
        std::string host = "old", path = "old";
        uint16_t port = 7;
        EXPECT_EQ(KHTTPClient::urlParse(c.url, host, port, path), c.ok) << c.url;
        if (c.ok) {
            EXPECT_EQ(host, c.host) << c.url;
            EXPECT_EQ(port, c.port) << c.url;
            EXPECT_EQ(path, c.path) << c.url;
        } else {
            EXPECT_EQ(host, "old") << c.url;
            EXPECT_EQ(port, 7) << c.url;
            EXPECT_EQ(path, "old") << c.url;
        }
    }
}

TEST(KHTTPClientTest, UrlParseRefusesAZeroByte) {
    std::string host, path;
    uint16_t port = 7;
    EXPECT_FALSE(KHTTPClient::urlParse(std::string("http://srv/a\0b", 14), host, port, path));
    EXPECT_FALSE(KHTTPClient::urlParse(std::string("http://sr\0v/", 12), host, port, path));
    EXPECT_EQ(port, 7);
}

TEST(KHTTPClientTest, PostToAnIPv6AddressNamesItInBracketsOnTheHostLine) {
    NetworkSetup setup;
    setup.commands = {{"ip", "link", "set", "lo", "up"}};
    const SandboxOutcome outcome = runInNetworkSandbox(setup, [](const std::string&) {
        TestServer server(Mode::Normal, "success", "::1");
        if (!server.listening()) return std::string("cannot listen on ::1");
        const std::string reply = KHTTPClient::post(server.url() + "/p?a=1", {}, "", {});
        server.waitForRequests(1, 5);
        const std::vector<std::string> requests = server.requests();
        if (requests.size() != 1) return "reply " + reply + ", no request";
        const std::string& request = requests[0];
        return "reply " + reply + ", " + request.substr(0, request.find("\r\n")) +
               (request.find("\r\nhost:[::1]\r\n") == std::string::npos ? "" : ", host:[::1]");
    });
    ASSERT_SANDBOX_DONE(outcome);
    EXPECT_EQ(outcome.text, "reply success, POST /p?a=1 HTTP/1.1, host:[::1]");
}

TEST(KHTTPClientTest, UrlWithAControlByteMakesNoConnection) {
    TestServer server;
    for (const char* suffix : {"/a b", "/a\r\nX-Injected: 1", "/\x7f"}) {
        EXPECT_EQ(KHTTPClient::post(server.url() + suffix, {}, "", {}), "") << suffix;
    }
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(server.connections(), 0u);
}

// ---- generateMsg ----

struct MessageCase {
    const char* path;
    KHTTPClient::Params params;
    std::string body;
    KHTTPClient::Params headers;
    std::string expected;
};

TEST(KHTTPClientTest, GenerateMsgWritesEntriesInByteOrderWithoutEscaping) {
    const MessageCase cases[] = {
        {"/a", {}, "", {}, "POST /a HTTP/1.1\r\n\r\n"},
        {"/a", {{"b", "2"}, {"a", "1"}}, "", {}, "POST /a?a=1&b=2 HTTP/1.1\r\n\r\n"},
        {"/a?b=c", {{"k", "v"}}, "", {}, "POST /a?b=c?k=v HTTP/1.1\r\n\r\n"},
        {"/",
         {{"info", "a+b/c=="}, {"x", "sp ace&"}},
         "",
         {},
         "POST /?info=a+b/c==&x=sp ace& HTTP/1.1\r\n\r\n"},
        {"/a",
         {},
         "",
         {{"host", "h"}, {"Content-Type", "t"}},
         "POST /a HTTP/1.1\r\nContent-Type:t\r\nhost:h\r\n\r\n"},
        // Byte-wise order: upper case before "_" before lower case before bytes above 0x7F,
        // and a prefix before its longer keys.
        {"/",
         {},
         "",
         {{"\xC3k", "4"}, {"ab", "2"}, {"abc", "3"}, {"_", "1"}, {"B", "0"}},
         "POST / HTTP/1.1\r\nB:0\r\n_:1\r\nab:2\r\nabc:3\r\n\xC3k:4\r\n\r\n"},
        // The body follows the empty line as it is; no length is added here.
        {"/a", {}, "x=1\r\n\r\ny", {{"h", "v"}}, "POST /a HTTP/1.1\r\nh:v\r\n\r\nx=1\r\n\r\ny"},
    };
    for (const MessageCase& c : cases) {
        EXPECT_EQ(KHTTPClient::generateMsg("POST", c.path, c.params, c.body, c.headers), c.expected)
            << c.expected;
    }
}

// ---- post over real sockets ----

TEST(KHTTPClientTest, PostSendsExactlyTheCollectionRequest) {
    TestServer server;
    const std::string result = KHTTPClient::post(
        server.url() + "/api/usage/collect", {{"info", "eyJ2Ijoi+/8=="}, {"encode", "E1"}}, "",
        {{"Content-Type", "application/x-www-form-urlencoded"}});
    EXPECT_EQ(result, "success");
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_EQ(server.requests().at(0),
              "POST /api/usage/collect?encode=E1&info=eyJ2Ijoi+/8== HTTP/1.1\r\n"
              "Connection:close\r\n"
              "Content-Length:0\r\n"
              "Content-Type:application/x-www-form-urlencoded\r\n"
              "host:127.0.0.1\r\n\r\n");
}

struct HeaderCase {
    KHTTPClient::Params headers;
    std::string body;
    std::string expectedHead;  // the request after its request line
};

TEST(KHTTPClientTest, PostAddsHostAndLengthWithoutOverwritingTheCallers) {
    const HeaderCase cases[] = {
        {{}, "abc", "Connection:close\r\nContent-Length:3\r\nhost:127.0.0.1\r\n\r\nabc"},
        {{{"host", "h2"}}, "", "Connection:close\r\nContent-Length:0\r\nhost:h2\r\n\r\n"},
        {{{"Host", "h2"}}, "", "Connection:close\r\nContent-Length:0\r\nHost:h2\r\nhost:127.0.0.1\r\n\r\n"},
        {{{"Content-Length", "2"}}, "ab", "Connection:close\r\nContent-Length:2\r\nhost:127.0.0.1\r\n\r\nab"},
        // Only the exact key counts, as with "host".
        {{{"content-length", "2"}},
         "ab",
         "Connection:close\r\nContent-Length:2\r\ncontent-length:2\r\nhost:127.0.0.1\r\n\r\nab"},
    };
    TestServer server;
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(KHTTPClient::post(server.url() + "/p", {}, cases[i].body, cases[i].headers),
                  "success");
        ASSERT_TRUE(server.waitForRequests(i + 1));
        EXPECT_EQ(server.requests().at(i), "POST /p HTTP/1.1\r\n" + cases[i].expectedHead);
    }
}

struct ModeCase {
    const char* name;
    Mode mode;
    const char* body;
    const char* expected;
};

// Keeps generated test names readable.
void PrintTo(const ModeCase& c, std::ostream* out) { *out << c.name; }

class KHTTPClientModeTest : public ::testing::TestWithParam<ModeCase> {};

// Each answer ends by its framing or by the close, long before the reply time-out.
TEST_P(KHTTPClientModeTest, PostReturnsTheBodyOrEmpty) {
    const ModeCase& c = GetParam();
    TestServer server(c.mode, c.body);
    const auto start = Clock::now();
    EXPECT_EQ(postWithin(server.url() + "/api", LONG_WAIT, LONG_WAIT), c.expected);
    EXPECT_LT(secondsSince(start), WELL_BEFORE_LONG_WAIT);
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_EQ(server.connections(), 1u);  // a failed attempt is not repeated
}

INSTANTIATE_TEST_SUITE_P(
    ServerModes, KHTTPClientModeTest,
    ::testing::Values(ModeCase{"Normal", Mode::Normal, "success", "success"},
                      ModeCase{"Segmented", Mode::Segmented, "unsuccessful\r\n\r\nsee log",
                               "unsuccessful\r\n\r\nsee log"},
                      ModeCase{"Chunked", Mode::Chunked, "0123456789 success",
                               "0123456789 success"},
                      ModeCase{"KeepOpen", Mode::KeepOpen, "success", "success"},
                      ModeCase{"NotFound", Mode::NotFound, "no such page", "no such page"},
                      ModeCase{"ErrorStatus", Mode::ErrorStatus, "failed", "failed"},
                      ModeCase{"NoHeaderEnd", Mode::Raw, "HTTP/1.1 200 OK\r\nsuccess", ""},
                      ModeCase{"CloseWithoutAnswer", Mode::CloseWithoutAnswer, "", ""},
                      ModeCase{"Reset", Mode::Reset, "", ""},
                      // These end by their status or by the close the request asks for; a
                      // reader that missed them would wait for the reply time-out.
                      ModeCase{"NoContent", Mode::NoContent, "ignored", ""},
                      ModeCase{"NotModified", Mode::NotModified, "ignored", ""},
                      ModeCase{"InterimThenAnswer", Mode::InterimThenAnswer, "success", "success"},
                      ModeCase{"KeepAliveUnframed", Mode::KeepAliveUnframed, "success", "success"},
                      ModeCase{"ResetAfterAnswer", Mode::ResetAfterAnswer, "success", "success"}),
    [](const ::testing::TestParamInfo<ModeCase>& info) { return std::string(info.param.name); });

TEST(KHTTPClientTest, ReplyInManySegmentsEqualsTheWholeReply) {
    TestServer whole(Mode::Normal, longBody());
    TestServer segmented(Mode::Segmented, longBody());
    const std::string expected = longBody();
    EXPECT_EQ(postWithin(whole.url(), LONG_WAIT, LONG_WAIT), expected);
    EXPECT_EQ(postWithin(segmented.url(), LONG_WAIT, LONG_WAIT), expected);
}

TEST(KHTTPClientTest, LongReplyIsCutAtTheLimit) {
    const std::string body(100 * 1024, 'x');
    TestServer server(Mode::Normal, body);
    EXPECT_EQ(postWithin(server.url(), LONG_WAIT, LONG_WAIT),
              body.substr(0, KHTTPClient::MAX_BODY_BYTES));
}

TEST(KHTTPClientTest, SilentServerGivesEmptyAtTheDeadline) {
    TestServer server(Mode::Silent);
    const auto start = Clock::now();
    EXPECT_EQ(postWithin(server.url(), LONG_WAIT, SHORT_WAIT), "");
    EXPECT_LT(secondsSince(start), DID_NOT_HANG);
    EXPECT_TRUE(server.waitForRequests(1));
}

TEST(KHTTPClientTest, StalledBodyGivesWhatArrivedAtTheDeadline) {
    TestServer server(Mode::Stalling, "success so far");
    const auto start = Clock::now();
    EXPECT_EQ(postWithin(server.url(), LONG_WAIT, milliseconds(1000)), "success so far");
    EXPECT_LT(secondsSince(start), DID_NOT_HANG);
}

TEST(KHTTPClientTest, HandshakeThatNeverCompletesGivesEmptyAtTheTimeOut) {
    FullListener listener;
    if (!listener.blocksHandshakes()) {
        GTEST_SKIP() << "this kernel completes handshakes even with a full accept queue";
    }
    const auto start = Clock::now();
    EXPECT_EQ(postWithin(listener.url(), SHORT_WAIT, LONG_WAIT), "");
    EXPECT_LT(secondsSince(start), DID_NOT_HANG);
}

TEST(KHTTPClientTest, UnusableAddressesGiveEmpty) {
    TestServer server;
    // The port plus 65536 would reach the server if the port text were reduced to 16 bits.
    const std::string wrapped = "http://127.0.0.1:" + std::to_string(server.port() + 65536u);
    const std::string unresolvable = "http://" + std::string(70, 'a') + ".invalid/";
    for (const std::string& url : {wrapped, unresolvable, std::string("https://127.0.0.1/")}) {
        EXPECT_EQ(KHTTPClient::post(url, {}, "", {}), "") << url;
    }
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(server.connections(), 0u);
}

TEST(KHTTPClientTest, ServerThatStopsReadingDoesNotKillTheProcess) {
    signal(SIGPIPE, SIG_DFL);  // a send without MSG_NOSIGNAL would end this test's process
    TestServer server(Mode::CloseWithoutAnswer);
    // Far more than the server reads before it closes, so the client is still sending then.
    const std::string body(8 * 1024 * 1024, 'z');
    EXPECT_EQ(postWithin(server.url(), LONG_WAIT, LONG_WAIT, body), "");
}

}  // namespace
