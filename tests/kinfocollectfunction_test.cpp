// The ic function end to end: a copy of the real agent with its files in a temporary directory,
// posting to loopback test servers.
#include "kinfocollectfunction.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "jsonreader.h"
#include "md5.h"
#include "netnssandbox.h"
#include "nginxserver.h"
#include "sandboxtools.h"
#include "standinpaths.h"
#include "testserver.h"
#include "testsupport.h"
#include "tlstestserver.h"

namespace {

using Members = std::vector<std::pair<std::string, std::string>>;

const char PATH_AND_QUERY[] = "/api/usage/collect?encode=E1&info=";

// The exact bytes of one ic request for the given Base64 record.
std::string expectedRequest(const std::string& info, const std::string& path = "/api/usage/collect") {
    return "POST " + path + "?encode=E1&info=" + info +
           " HTTP/1.1\r\nConnection:close\r\nContent-Length:0\r\n"
           "Content-Type:application/x-www-form-urlencoded\r\nhost:127.0.0.1\r\n\r\n";
}

// The Base64 record carried by a request, or empty.
std::string infoOf(const std::string& request) {
    const size_t start = request.find("info=");
    const size_t end = request.find(" HTTP/1.1\r\n");
    if (start == std::string::npos || end == std::string::npos || end < start) return "";
    return request.substr(start + 5, end - start - 5);
}

Members recordOf(const std::string& request) {
    Members members;
    EXPECT_TRUE(readFlatJsonObject(base64Decode(infoOf(request)), members)) << request;
    return members;
}

std::string field(const Members& members, const std::string& key) {
    for (const auto& m : members) {
        if (m.first == key) return m.second;
    }
    ADD_FAILURE() << "no field " << key;
    return "";
}

// A loopback port where nothing listens.
uint16_t closedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

class InfoCollectRun : public ::testing::Test {
protected:
    void oem(const std::string& content) { writeFile(m_dir.file("oem.ini"), content); }
    void vorncheck(const std::string& content) { writeFile(m_dir.file("vorncheck.ini"), content); }
    static std::string server(const std::string& key, const std::string& url) {
        return "[Server]\n" + key + "=" + url + "\n";
    }
    void authLibrary(const char* standin) {
        writeFile(m_dir.file("duduredaroz.so"), readFile(standin));
    }
    RunResult run(const std::vector<std::string>& args, double timeout = 90) {
        RunResult result = runAgent(args, m_agent, timeout);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    TempDir m_dir;
    std::string m_agent = copyAgentTo(m_dir.path());
};

TEST_F(InfoCollectRun, SendsTheExactRequestAndRecordToTheCustomServer) {
    TestServer custom(TestServer::Mode::Normal, "{\"result\":\"success\"}");
    TestServer standard(TestServer::Mode::Normal, "success");
    oem("[Product]\nDistNumber=3\n" + server("CustomICServer", custom.url()));
    vorncheck("[Product]\nVersion=2.5.0.1\n" + server("ICServer", standard.url()));

    EXPECT_EQ(run({"-f", "ic", "-v", "2", "-u", "alice", "bob"}).status, 0);

    const std::vector<std::string> requests = custom.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(standard.connections(), 0u);
    const std::string info = infoOf(requests[0]);
    EXPECT_EQ(requests[0], expectedRequest(info));
    const Members record = recordOf(requests[0]);
    std::vector<std::string> keys;
    for (const auto& m : record) keys.push_back(m.first);
    EXPECT_EQ(keys, (std::vector<std::string>{"version", "hid", "sn", "distnum", "vertype", "mac",
                                              "platform", "username"}));
    EXPECT_EQ(field(record, "version"), "2.5.0.1");
    EXPECT_EQ(field(record, "hid"), md5(field(record, "mac")));
    EXPECT_EQ(field(record, "sn"), "");
    EXPECT_EQ(field(record, "distnum"), "3");
    EXPECT_EQ(field(record, "vertype"), "2");
    EXPECT_TRUE(std::regex_match(field(record, "mac"),
                                 std::regex("|([0-9A-F]{2}-){5}[0-9A-F]{2}")));
    EXPECT_EQ(field(record, "platform"), "linux");
    EXPECT_EQ(field(record, "username"), "alice");
}

TEST_F(InfoCollectRun, RecordHoldsDefaultsAndTheUserNameRules) {
    struct Case {
        std::vector<std::string> args;
        const char* vertype;
        const char* username;
    };
    const Case cases[] = {
        {{"-f", "ic", "-v", "2"}, "2", ""},
        {{"-f", "ic", "-v", "2", "-u"}, "2", ""},
        {{"-f", "ic", "-v", "", "-u", "bob"}, "", "bob"},
        {{"-f ic -v 7 -u \"Jo Smith\" x"}, "7", "Jo Smith"},
    };
    TestServer standard(TestServer::Mode::Normal, "success");
    vorncheck(server("ICServer", standard.url()));
    for (const Case& c : cases) {
        EXPECT_EQ(run(c.args).status, 0);
    }
    const std::vector<std::string> requests = standard.requests();
    ASSERT_EQ(requests.size(), std::size(cases));
    for (size_t i = 0; i < requests.size(); ++i) {
        const Members record = recordOf(requests[i]);
        EXPECT_EQ(field(record, "version"), "0.0.0.0");
        EXPECT_EQ(field(record, "hid"), md5(field(record, "mac")));
        EXPECT_EQ(field(record, "sn"), "");
        EXPECT_EQ(field(record, "distnum"), "1.1");
        EXPECT_EQ(field(record, "vertype"), cases[i].vertype);
        EXPECT_EQ(field(record, "platform"), "linux");
        EXPECT_EQ(field(record, "username"), cases[i].username);
    }
}

TEST_F(InfoCollectRun, UnacceptableCommandLinesExit255WithoutConnecting) {
    TestServer custom(TestServer::Mode::Normal, "success");
    oem(server("CustomICServer", custom.url()));
    const std::vector<std::vector<std::string>> cases = {
        {"-f", "ic"}, {"-f", "ic", "-v"}, {"-f", "ic", "-v", "a", "b"}, {"-f", "IC", "-v", "2"},
        {"-f", "ic", "ic", "-v", "2"},
    };
    for (const auto& args : cases) EXPECT_EQ(run(args).status, 255) << args.size();
    EXPECT_EQ(custom.connections(), 0u);
}

// Which servers hear of the record, by what the custom server does.
TEST_F(InfoCollectRun, FallsBackOnceUnlessTheCustomReplySaysSuccess) {
    struct Case {
        const char* name;
        TestServer::Mode mode;
        const char* body;
        size_t standardRequests;
    };
    const Case cases[] = {
        {"success inside a longer word", TestServer::Mode::Normal, "unsuccessful", 0},
        {"success split over segments", TestServer::Mode::Segmented, "...success...", 0},
        {"success in a chunked reply", TestServer::Mode::Chunked, "{\"r\":\"success\"}", 0},
        {"capital S", TestServer::Mode::Normal, "Success", 1},
        {"error status", TestServer::Mode::ErrorStatus, "failure", 1},
        {"closed without answer", TestServer::Mode::CloseWithoutAnswer, "", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer custom(c.mode, c.body);
        TestServer standard(TestServer::Mode::Normal, "nothing");
        oem(server("CustomICServer", custom.url()));
        vorncheck(server("ICServer", standard.url()));
        EXPECT_EQ(run({"-f", "ic", "-v", "2"}).status, 0);
        const std::vector<std::string> first = custom.requests();
        const std::vector<std::string> second = standard.requests();
        ASSERT_EQ(first.size(), 1u);
        ASSERT_EQ(second.size(), c.standardRequests);
        if (!second.empty()) {
            EXPECT_EQ(second[0], first[0]);
        }
    }
}

TEST_F(InfoCollectRun, GoesToTheStandardServerWhenTheCustomOneIsUnsetOrDown) {
    for (const std::string& customValue :
         {std::string(), "http://127.0.0.1:" + std::to_string(closedPort()), std::string("srv")}) {
        SCOPED_TRACE(customValue);
        TestServer standard(TestServer::Mode::Normal, "success");
        oem(server("CustomICServer", customValue));
        vorncheck(server("ICServer", standard.url()));
        EXPECT_EQ(run({"-f", "ic", "-v", "2"}).status, 0);
        const std::vector<std::string> requests = standard.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0], expectedRequest(infoOf(requests[0])));
    }
}

TEST_F(InfoCollectRun, BothServersUnsetMeansNoConnectionAndStatusZero) {
    EXPECT_EQ(run({"-f", "ic", "-v", "2"}, 30).status, 0);
    oem("[Server]\nCustomICServer=\n");
    vorncheck("[Product]\nVersion=1\n");
    EXPECT_EQ(run({"-f", "ic", "-v", "2"}, 30).status, 0);
}

TEST_F(InfoCollectRun, ServerValueWithSlashOrPathPrefixesTheEndpoint) {
    TestServer custom(TestServer::Mode::Normal, "success");
    for (const char* suffix : {"/", "/base"}) {
        oem(server("CustomICServer", custom.url() + suffix));
        EXPECT_EQ(run({"-f", "ic", "-v", "2"}).status, 0);
    }
    const std::vector<std::string> requests = custom.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], expectedRequest(infoOf(requests[0]), "//api/usage/collect"));
    EXPECT_EQ(requests[1], expectedRequest(infoOf(requests[1]), "/base/api/usage/collect"));
}

TEST_F(InfoCollectRun, UserNameCannotBreakOrForgeTheRecord) {
    TestServer custom(TestServer::Mode::Normal, "success");
    oem(server("CustomICServer", custom.url()));
    const std::string username =
        "a\"b\\c\nd\",\"platform\":\"x\te\x01\x1f\x7f\xc3\xa9";
    EXPECT_EQ(run({"-f", "ic", "-v", "2", "-u", username}).status, 0);
    const std::vector<std::string> requests = custom.requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string json = base64Decode(infoOf(requests[0]));
    for (const char c : json) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << json;
    const Members record = recordOf(requests[0]);
    ASSERT_EQ(record.size(), 8u);
    EXPECT_EQ(field(record, "username"), username);
    EXPECT_EQ(field(record, "platform"), "linux");
}

TEST_F(InfoCollectRun, ReadsConfigurationWithCrlfLineEndsAndByteOrderMark) {
    TestServer custom(TestServer::Mode::Normal, "success");
    oem("\xEF\xBB\xBF[Product]\r\nDistNumber = 4.2\r\n[Server]\r\nCustomICServer=" + custom.url() +
        "\r\n");
    vorncheck("[Product]\r\nVersion=9.8.7.6\r\n");
    EXPECT_EQ(run({"-f", "ic", "-v", "2"}).status, 0);
    const std::vector<std::string> requests = custom.requests();
    ASSERT_EQ(requests.size(), 1u);
    const Members record = recordOf(requests[0]);
    EXPECT_EQ(field(record, "distnum"), "4.2");
    EXPECT_EQ(field(record, "version"), "9.8.7.6");
}

TEST_F(InfoCollectRun, AuthorizationCodeComesFromTheLibraryBesideTheAgent) {
    struct Case {
        const char* library;
        const char* sn;
    };
    const Case cases[] = {
        {nullptr, ""},
        {STANDIN_BOTH, "M-CODE-1234"},
        {STANDIN_SLIST_TEXT, "S-CODE-5678 \"quoted\""},
        {STANDIN_MLIST_ONLY, ""},
        {STANDIN_NONE, ""},
        {STANDIN_PRINTS, "M-PRINTED"},
        {STANDIN_THROWS, ""},
        {STANDIN_CRASHES, ""},
        {STANDIN_EXITS, ""},
        {STANDIN_OLD_ABI, ""},
    };
    TestServer custom(TestServer::Mode::Normal, "success");
    oem(server("CustomICServer", custom.url()));
    for (const Case& c : cases) {
        if (c.library != nullptr) authLibrary(c.library);
        EXPECT_EQ(run({"-f", "ic", "-v", "2"}).status, 0) << (c.library ? c.library : "none");
    }
    const std::vector<std::string> requests = custom.requests();
    ASSERT_EQ(requests.size(), std::size(cases));
    for (size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(field(recordOf(requests[i]), "sn"), cases[i].sn) << i;
    }
}

// A FIFO without a writer or an endless device in place of a configuration file counts as no
// file: the run neither waits nor grows, and the other file still names its server.
TEST_F(InfoCollectRun, ConfigurationThatIsNoRegularFileCountsAsAbsent) {
    TestServer custom(TestServer::Mode::Normal, "success");
    TestServer standard(TestServer::Mode::Normal, "success");
    ASSERT_EQ(mkfifo(m_dir.file("oem.ini").c_str(), 0644), 0);
    vorncheck("[Product]\nVersion=5\n" + server("ICServer", standard.url()));
    RunResult result = run({"-f", "ic", "-v", "2"}, 30);
    EXPECT_EQ(result.status, 0);
    EXPECT_LT(result.seconds, 10.0);

    unlink(m_dir.file("oem.ini").c_str());
    unlink(m_dir.file("vorncheck.ini").c_str());
    oem("[Product]\nDistNumber=7\n" + server("CustomICServer", custom.url()));
    ASSERT_EQ(symlink("/dev/zero", m_dir.file("vorncheck.ini").c_str()), 0);
    result = run({"-f", "ic", "-v", "2"}, 30);
    EXPECT_EQ(result.status, 0);
    EXPECT_LT(result.seconds, 10.0);

    const std::vector<std::string> first = standard.requests(), second = custom.requests();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(field(recordOf(first[0]), "distnum"), "1.1");
    EXPECT_EQ(field(recordOf(first[0]), "version"), "5");
    EXPECT_EQ(field(recordOf(second[0]), "distnum"), "7");
    EXPECT_EQ(field(recordOf(second[0]), "version"), "0.0.0.0");
}

// The real bound on the library, once: a library that hangs costs the run that bound only.
TEST_F(InfoCollectRun, HangingLibraryIsGivenUpAndTheRecordStillSent) {
    TestServer custom(TestServer::Mode::Normal, "success");
    oem(server("CustomICServer", custom.url()));
    authLibrary(STANDIN_SLEEPS);
    const RunResult result = run({"-f", "ic", "-v", "2"}, 60);
    EXPECT_EQ(result.status, 0);
    EXPECT_LT(result.seconds, 15.0);
    const std::vector<std::string> requests = custom.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(field(recordOf(requests[0]), "sn"), "");
}

// Starts the agent from the working directory cwd, by the given name or (name empty) through
// fexecve, so that the kernel knows it only as /dev/fd/N, with the loader searching
// libraryPath. Answers "status [output]"; runs in a sandbox child, so no test assertions.
[[maybe_unused]] std::string launchFrom(const std::string& cwd, const std::string& name,
                                        const std::string& agent, const std::string& libraryPath) {
    TempDir outputs;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int program = open(agent.c_str(), O_RDONLY | O_CLOEXEC);
        const int null = open("/dev/null", O_RDONLY);
        const int out = open(outputs.file("out").c_str(), O_WRONLY | O_CREAT, 0600);
        if (program == -1 || null == -1 || out == -1 || chdir(cwd.c_str()) != 0) _exit(120);
        dup2(null, 0);
        dup2(out, 1);
        dup2(out, 2);
        setenv("LD_LIBRARY_PATH", libraryPath.c_str(), 1);
        // In a cross build the emulator starts the agent by the same name.
        std::vector<std::string> words = agentEmulator();
        words.push_back(name.empty() ? "usage-agent" : name);
        for (const char* arg : {"-f", "ic", "-v", "2"}) words.emplace_back(arg);
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(&word[0]);
        argv.push_back(nullptr);
        if (name.empty()) {
            fexecve(program, argv.data(), environ);
        } else {
            execvp(argv[0], argv.data());
        }
        _exit(121);
    }
    int status = 0;
    for (int waited = 0; waitpid(pid, &status, WNOHANG) != pid; ++waited) {
        if (waited > 6000) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return "killed";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return std::to_string(code) + " [" + readFile(outputs.file("out")) + "]";
}

// Without /proc the executable's own directory still decides, found from the name it was
// started by; when that gives none either, nothing comes from the working directory or the
// loader's search path.
TEST(InfoCollectWithoutProc, FilesComeFromBesideTheExecutableOrNowhere) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an agent built with AddressSanitizer cannot start without /proc";
#else
    TestServer own(TestServer::Mode::Normal, "success");
    TestServer foreign(TestServer::Mode::Normal, "success");
    TempDir top;
    const std::string agentDir = top.file("agent"), workDir = top.file("work");
    mkdir(agentDir.c_str(), 0755);
    mkdir(workDir.c_str(), 0755);
    const std::string agent = copyAgentTo(agentDir);
    writeFile(agentDir + "/oem.ini", "[Server]\nCustomICServer=" + own.url() + "\n");
    writeFile(agentDir + "/duduredaroz.so", readFile(STANDIN_SLIST_TEXT));
    writeFile(workDir + "/oem.ini", "[Server]\nCustomICServer=" + foreign.url() + "\n");
    writeFile(workDir + "/duduredaroz.so", readFile(STANDIN_BOTH));
    const bool emulated = !agentEmulator().empty();

    const SandboxOutcome outcome = runWithoutProc([&] {
        std::string answers = launchFrom(workDir, agent, agent, workDir) + " ";
        answers += launchFrom(workDir, "../agent/usage-agent", agent, workDir) + " ";
        if (!emulated) answers += launchFrom(workDir, "", agent, workDir);
        return answers;
    });
    ASSERT_SANDBOX_DONE(outcome);
    EXPECT_EQ(outcome.text, emulated ? "0 [] 0 [] " : "0 [] 0 [] 0 []");
    EXPECT_EQ(foreign.connections(), 0u);
    const std::vector<std::string> requests = own.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const std::string& request : requests) {
        const Members record = recordOf(request);
        EXPECT_EQ(field(record, "sn"), "S-CODE-5678 \"quoted\"");
        // The adapter table is under /proc: mac could not look, and the record still goes out.
        EXPECT_EQ(field(record, "mac"), "");
        EXPECT_EQ(field(record, "hid"), md5(""));
    }
#endif
}

// With the default time-outs, two servers that accept and never answer still let the run end.
TEST_F(InfoCollectRun, TwoSilentServersStillEndWithStatusZero) {
    TestServer custom(TestServer::Mode::Silent);
    TestServer standard(TestServer::Mode::Silent);
    oem(server("CustomICServer", custom.url()));
    vorncheck(server("ICServer", standard.url()));
    const RunResult result = run({"-f", "ic", "-v", "2"}, 60);
    EXPECT_EQ(result.status, 0);
    EXPECT_LT(result.seconds, 35.0);
    EXPECT_EQ(custom.requests().size(), 1u);
    EXPECT_EQ(standard.requests().size(), 1u);
}

// An https:// custom server gets the record only when its certificate verifies for its name;
// otherwise the standard server gets the very same request.
TEST_F(InfoCollectRun, HttpsCustomServerMustVerifyOrTheRecordFallsBack) {
    if (!NginxTlsServer::available() || !TestPki::available()) {
        GTEST_SKIP() << "nginx or openssl is not installed";
    }
    const TestPki pki;
    ASSERT_TRUE(pki.ok());
    setenv("SSL_CERT_FILE", pki.caFile().c_str(), 1);
    struct Case {
        const char* name;
        TestPki::Issue issue;
        size_t standardRequests;
    };
    const Case cases[] = {
        {"valid", TestPki::Issue::Valid, 0},
        {"othername", TestPki::Issue::OtherName, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer behindTls(TestServer::Mode::Normal, "success");
        TestServer standard(TestServer::Mode::Normal, "success");
        ASSERT_TRUE(pki.make(c.name, c.issue));
        const NginxTlsServer custom(pki.dir() + "/" + c.name + ".crt",
                                    pki.dir() + "/" + c.name + ".key", "",
                                    NginxTlsServer::proxyingTo(behindTls.port()));
        ASSERT_TRUE(custom.running()) << custom.errorLog();
        oem(server("CustomICServer", custom.url()));
        vorncheck(server("ICServer", standard.url()));
        EXPECT_EQ(run({"-f", "ic", "-v", "2"}).status, 0);
        const std::vector<std::string> second = standard.requests();
        ASSERT_EQ(second.size(), c.standardRequests);
        if (second.empty()) {
            ASSERT_EQ(behindTls.requests().size(), 1u);
            EXPECT_EQ(recordOf(behindTls.requests()[0]).size(), 8u);
        } else {
            EXPECT_EQ(behindTls.requests().size(), 0u);
            EXPECT_EQ(second[0], expectedRequest(infoOf(second[0])));
        }
    }
    unsetenv("SSL_CERT_FILE");
}

// A reply without a body is complete at its header block: the record is offered to both
// servers (204 is no "success") without waiting for either reply bound.
TEST_F(InfoCollectRun, NginxAnsweringNoContentIsNotWaitedFor) {
    NginxServer custom("204"), standard("204");
    if (!custom.running() || !standard.running()) {
        GTEST_SKIP() << custom.whyNotRunning() << standard.whyNotRunning();
    }
    oem(server("CustomICServer", custom.url()));
    vorncheck(server("ICServer", standard.url()));
    const RunResult result = run({"-f", "ic", "-v", "2"}, 60);
    EXPECT_EQ(result.status, 0);
    EXPECT_LT(result.seconds, 5.0);
    ASSERT_TRUE(custom.waitForRequests(1));
    ASSERT_TRUE(standard.waitForRequests(1));
    const std::vector<std::string> first = custom.requestLines(), second = standard.requestLines();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second, first);
    EXPECT_EQ(first[0].rfind(std::string("POST ") + PATH_AND_QUERY, 0), 0u) << first[0];
}

// The same run with and without tracing: the servers get the same bytes, and the trace tells
// the story of the run in order, with the code shown only by its length and start.
TEST_F(InfoCollectRun, TraceExplainsEachAttemptAndChangesNothingSent) {
    TestServer custom(TestServer::Mode::ErrorStatus, "failure");
    TestServer standard(TestServer::Mode::Normal, "success");
    oem(server("CustomICServer", custom.url()));
    vorncheck(server("ICServer", standard.url()));
    authLibrary(STANDIN_BOTH);
    EXPECT_EQ(run({"-f", "ic", "-v", "2", "-u", "alice"}).status, 0);

    RunResult traced;
    {
        const ScopedEnvironment debug("USAGE_AGENT_DEBUG", "1");
        traced = runAgent({"-f", "ic", "-v", "2", "-u", "alice"}, m_agent, 90);
    }
    EXPECT_EQ(traced.status, 0);
    EXPECT_EQ(traced.out, "");
    const std::vector<std::string> customRequests = custom.requests();
    const std::vector<std::string> standardRequests = standard.requests();
    ASSERT_EQ(customRequests.size(), 2u);
    ASSERT_EQ(standardRequests.size(), 2u);
    EXPECT_EQ(customRequests[1], customRequests[0]);
    EXPECT_EQ(standardRequests[1], standardRequests[0]);

    const std::string customPort = std::to_string(custom.port());
    const std::string standardPort = std::to_string(standard.port());
    EXPECT_TRUE(containsInOrder(
        traced.err,
        {m_dir.path(), "vorncheck.ini", "0.0.0.0", "authorization library", "mList",
         "11 characters", "record {\"version\":\"0.0.0.0\"", "\"username\":\"alice\"}",
         custom.url(), "127.0.0.1 port " + customPort, "connected", "sent",
         "HTTP/1.1 500 Internal Server Error", "failure", "verdict", standard.url(),
         "127.0.0.1 port " + standardPort, "connected", "sent", "HTTP/1.1 200 OK", "success",
         "verdict", "\"success\" found"}));
    EXPECT_EQ(traced.err.find("M-CODE-1234"), std::string::npos) << traced.err;
    // Every line starts with the milliseconds since the start.
    EXPECT_TRUE(std::regex_match(traced.err, std::regex("( *[0-9]+ ms [^\n]*\n)+")))
        << traced.err;
}

// A dry run shows on stdout the exact bytes that a real run sends to each server, and sends none.
TEST_F(InfoCollectRun, DryRunPrintsTheRequestsAndSendsNothing) {
    TestServer custom(TestServer::Mode::ErrorStatus, "failure");
    TestServer standard(TestServer::Mode::Normal, "success");
    oem(server("CustomICServer", custom.url()));
    vorncheck(server("ICServer", standard.url() + "/base"));
    RunResult dry;
    {
        const ScopedEnvironment debug("USAGE_AGENT_DEBUG", "dry-run");
        dry = runAgent({"-f", "ic", "-v", "2", "-u", "bob"}, m_agent, 90);
    }
    EXPECT_EQ(dry.status, 0);
    EXPECT_EQ(custom.connections() + standard.connections(), 0u);
    EXPECT_TRUE(containsInOrder(dry.err, {"record", custom.url(), "dry run", standard.url(),
                                          "dry run"}));

    EXPECT_EQ(run({"-f", "ic", "-v", "2", "-u", "bob"}).status, 0);
    ASSERT_EQ(custom.requests().size(), 1u);
    ASSERT_EQ(standard.requests().size(), 1u);
    EXPECT_EQ(dry.out, custom.requests()[0] + standard.requests()[0]);
}

TEST(InfoCollectFunctionTest, JsonEscapeLeavesPlainTextAloneAndEscapesTheRest) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"2.5.0.1", "2.5.0.1"},
        {"\xc3\xa9\x80\xff", "\xc3\xa9\x80\xff"},
        {"a\"b", "a\\\"b"},
        {"a\\b", "a\\\\b"},
        {"\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
        {std::string("\x00\x01\x1f\x7f", 4), "\\u0000\\u0001\\u001f\x7f"},
    };
    for (const auto& c : cases) EXPECT_EQ(KInfoCollectFunction::jsonEscape(c.first), c.second);
}

}  // namespace
