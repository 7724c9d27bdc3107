// The "mac" function in process and through the real binary. Runs that need a known address
// happen inside network namespaces made for the test (see netnssandbox.h).
#include "kmacfunction.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kcommandline.h"
#include "khardwareinfo.h"
#include "kutil.h"
#include "netnssandbox.h"
#include "sandboxtools.h"
#include "agentpaths.h"
#include "testsupport.h"

namespace {

using Args = std::vector<std::string>;

int runInProcess(const Args& args) {
    Argv argv(args);
    const KCommandLine commandLine(argv.argc(), argv.argv());
    KMACFunction function;
    return function.run(commandLine);
}

std::string shown(const Args& args) {
    std::string text;
    for (const std::string& a : args) text += "[" + a + "]";
    return text;
}

// The sandbox every run with a known address uses: its smallest qualifying address is
// 0A-BC-DE-F0-12-34.
NetworkSetup oneKnownAddress() {
    NetworkSetup setup;
    setup.commands = {{"ip", "link", "add", "name", "va", "address", "be:ef:00:00:00:01", "type",
                       "veth", "peer", "name", "vb", "address", "0a:bc:de:f0:12:34"}};
    setup.virtualNames = {"lo"};
    return setup;
}

TEST(KMACFunctionTest, NameIsMac) { EXPECT_EQ(KMACFunction::function(), "mac"); }

TEST(KMACFunctionTest, WritesTheBase64OfTheAddressInProcessAndThroughTheBinary) {
    TempDir dir;
    const std::string inProcess = dir.file("in-process"), binary = dir.file("binary");
    writeFile(binary, std::string(100, 'x') + "\n");
    const SandboxOutcome outcome = runInNetworkSandbox(oneKnownAddress(), [&](const std::string&) {
        const int own = runInProcess({"-f", "mac", "-o", inProcess});
        const RunResult agent = runAgent({"-f", "mac", "-o", binary});
        return std::to_string(own) + " " + std::to_string(agent.status) + " [" + agent.out +
               agent.err + "]";
    });
    ASSERT_SANDBOX_DONE(outcome);
    EXPECT_EQ(outcome.text, "0 0 []");
    for (const std::string& path : {inProcess, binary}) {
        SCOPED_TRACE(path);
        const std::string content = readFile(path);
        EXPECT_EQ(content.size(), 24u);
        EXPECT_EQ(content.find('\n'), std::string::npos);
        EXPECT_EQ(base64Decode(content), "0A-BC-DE-F0-12-34");
    }
}

TEST(KMACFunctionTest, NoQualifyingAdapterEmptiesTheFileAndSucceeds) {
    TempDir dir;
    const std::string inProcess = dir.file("in-process"), binary = dir.file("binary");
    writeFile(inProcess, "old content");
    writeFile(binary, "old content");
    const SandboxOutcome outcome = runInNetworkSandbox(NetworkSetup{}, [&](const std::string&) {
        const int own = runInProcess({"-f", "mac", "-o", inProcess});
        const RunResult agent = runAgent({"-f", "mac", "-o", binary});
        return std::to_string(own) + " " + std::to_string(agent.status);
    });
    ASSERT_SANDBOX_DONE(outcome);
    EXPECT_EQ(outcome.text, "0 0");
    EXPECT_TRUE(fileExists(inProcess));
    EXPECT_EQ(readFile(inProcess), "");
    EXPECT_TRUE(fileExists(binary));
    EXPECT_EQ(readFile(binary), "");
}

// Traced, a run tells each adapter's fate, the choice and the file; untraced it prints nothing.
TEST(KMACFunctionTest, TraceShowsSkippedAndChosenAdaptersAndTheFile) {
    TempDir dir;
    const std::string path = dir.file("mac.txt");
    const SandboxOutcome outcome = runInNetworkSandbox(oneKnownAddress(), [&](const std::string&) {
        const ScopedEnvironment debug("USAGE_AGENT_DEBUG", "yes");
        const RunResult agent = runAgent({"-f", "mac", "-o", path});
        return std::to_string(agent.status) + " [" + agent.out + "]\n" + agent.err;
    });
    ASSERT_SANDBOX_DONE(outcome);
    EXPECT_TRUE(containsInOrder(outcome.text, {"0 []\n", "lo: skipped, virtual",
                                               "0A-BC-DE-F0-12-34, the smallest", path}));
    EXPECT_EQ(base64Decode(readFile(path)), "0A-BC-DE-F0-12-34");
}

TEST(KMACFunctionTest, FailedWriteIsAFailure) {
    const SandboxOutcome outcome = runInNetworkSandbox(oneKnownAddress(), [](const std::string&) {
        const int own = runInProcess({"-f", "mac", "-o", "/dev/full"});
        const RunResult agent = runAgent({"-f", "mac", "-o", "/dev/full"});
        return std::to_string(own) + " " + std::to_string(agent.status) + " [" + agent.out +
               agent.err + "]";
    });
    ASSERT_SANDBOX_DONE(outcome);
    EXPECT_EQ(outcome.text, "-1 255 []");
}

TEST(KMACFunctionTest, BinaryWritesWhatTheClassFindsOnThisMachine) {
    TempDir dir;
    const std::string path = dir.file("mac.txt");
    writeFile(path, std::string(100, 'x'));
    const RunResult result = runAgent({"-f", "mac", "-o", path});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_EQ(readFile(path), KUtil::base64Encode(KHardwareInfo::mac()));
}

TEST(KMACFunctionTest, BinaryRejectsUnusableOutputOptionsWithoutWriting) {
    TempDir dir;
    const std::string first = dir.file("first"), second = dir.file("second");
    const std::string inMissingDir = dir.file("missing/mac.txt");
    const Args cases[] = {
        {"-f", "mac"},
        {"-f", "mac", "-o"},
        {"-f", "mac", "-o", first, second},
        {"-f", "mac", "-o", ""},
        {"-f", "mac", "-o", inMissingDir},
        {"-f", "mac", "-o", dir.path()},
    };
    for (const Args& args : cases) {
        const RunResult result = runAgent(args);
        EXPECT_EQ(result.status, 255) << shown(args);
        EXPECT_EQ(result.out + result.err, "") << shown(args);
        EXPECT_FALSE(fileExists(first)) << shown(args);
        EXPECT_FALSE(fileExists(second)) << shown(args);
        EXPECT_FALSE(fileExists(dir.file("missing"))) << shown(args);
    }
}

TEST(KMACFunctionTest, RunChecksItsOwnSelectionAndOutputOptionBeforeTouchingTheFile) {
    TempDir dir;
    const std::string path = dir.file("mac.txt");
    const Args cases[] = {
        {},
        {"-o", path},
        {"-f", "-o", path},
        {"-f", "mac", "ic", "-o", path},
        {"-f", "ic", "-o", path},
        {"-f", "MAC", "-o", path},
        {"-f", "mac"},
        {"-f", "mac", "-o"},
        {"-f", "mac", "-o", path, path},
        {"-f", "mac", "-o", ""},
        {"-f", "mac", "-o", dir.file("missing/mac.txt")},
    };
    for (const Args& args : cases) {
        writeFile(path, "old content");
        EXPECT_EQ(runInProcess(args), -1) << shown(args);
        EXPECT_EQ(readFile(path), "old content") << shown(args);
    }
    EXPECT_EQ(runInProcess({"-f", "mac", "-o", path}), 0);
    EXPECT_NE(readFile(path), "old content");
}

// ---- failures that must give 255 and leave the old file whole ----

std::string quoted(const std::string& word) { return "'" + word + "'"; }

// The agent under a shell that first applies the given limit.
RunResult runAgentLimited(const std::string& limit, const Args& args) {
    std::string command = limit + "; exec";
    for (const std::string& word : agentEmulator()) command += " " + quoted(word);
    command += " " + quoted(std::string(AGENT_PATH));
    for (const std::string& arg : args) command += " " + quoted(arg);
    return runProgram({"sh", "-c", command});
}

TEST(KMACFunctionTest, FileSizeLimitFailsWithoutTouchingTheOldFile) {
    TempDir dir;
    const std::string path = dir.file("mac.txt");
    writeFile(path, "old identity");
    const RunResult result = runAgentLimited("ulimit -f 0", {"-f", "mac", "-o", path});
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_EQ(readFile(path), "old identity");
}

// A tight descriptor limit must not turn into the "no physical adapter" answer: the agent holds
// one descriptor at a time, so with one beyond the standard streams it still finds the address.
TEST(KMACFunctionTest, TightDescriptorLimitStillGivesTheRealAnswer) {
    if (!agentEmulator().empty()) GTEST_SKIP() << "the emulator needs descriptors of its own";
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer needs descriptors of its own";
#endif
    TempDir dir;
    const std::string path = dir.file("mac.txt");
    writeFile(path, "old identity");
    // Descriptors the test runner leaked to this process are closed first, so that exactly the
    // standard streams are open when the limit applies.
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        for (int fd = 3; fd < 4096; ++fd) close(fd);
        const rlimit limit{4, 4};
        setrlimit(RLIMIT_NOFILE, &limit);
        execl(AGENT_PATH, AGENT_PATH, "-f", "mac", "-o", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(readFile(path), KUtil::base64Encode(KHardwareInfo::mac()));
}

TEST(KMACFunctionTest, StandardOutputIsWrittenInPlaceAndAPipeWithoutReaderFails) {
    const RunResult captured = runAgent({"-f", "mac", "-o", "/dev/stdout"});
    EXPECT_EQ(captured.status, 0);
    EXPECT_EQ(captured.out, KUtil::base64Encode(KHardwareInfo::mac()));
    EXPECT_EQ(captured.err, "");

    // The pipe's only reader is gone before the agent starts.
    const RunResult broken = runProgram({"sh", "-c", "exec 3>&1; (sleep 0.2;" +
                                            [] {
                                                std::string words;
                                                for (const std::string& w : agentEmulator())
                                                    words += " " + quoted(w);
                                                return words;
                                            }() +
                                            " " + quoted(std::string(AGENT_PATH)) +
                                            " -f mac -o /dev/stdout; echo \"status $?\" >&3) | true"});
    EXPECT_EQ(broken.out, "status 255\n");
    EXPECT_EQ(broken.err, "");
}

TEST(KMACFunctionTest, FifoWithoutReaderFailsAtOnce) {
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const RunResult result = runAgent({"-f", "mac", "-o", fifo}, "", 30);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, 255);
    EXPECT_LT(result.seconds, 10.0);
}

TEST(KMACFunctionTest, AdaptersThatCouldNotBeLookedAtAreAFailure) {
    TempDir dir;
    const std::string binary = dir.file("binary");
    writeFile(binary, "old content");
    NetworkSetup noVirtualDirectory = oneKnownAddress();
    noVirtualDirectory.virtualDirectoryExists = false;
    const SandboxOutcome outcome =
        runInNetworkSandbox(noVirtualDirectory, [&](const std::string&) {
            const RunResult agent = runAgent({"-f", "mac", "-o", binary});
            return std::to_string(agent.status) + " [" + agent.out + agent.err + "]";
        });
    ASSERT_SANDBOX_DONE(outcome);
    EXPECT_EQ(outcome.text, "255 []");
    EXPECT_EQ(readFile(binary), "old content");
}

TEST(KMACFunctionTest, AdapterTableMissingWithoutProcIsAFailure) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an agent built with AddressSanitizer cannot start without /proc";
#else
    TempDir dir;
    const std::string path = dir.file("mac.txt");
    writeFile(path, "old content");
    const SandboxOutcome outcome = runWithoutProc([&] {
        const RunResult agent = runAgent({"-f", "mac", "-o", path});
        return std::to_string(agent.status) + " [" + agent.out + agent.err + "]";
    });
    ASSERT_SANDBOX_DONE(outcome);
    EXPECT_EQ(outcome.text, "255 []");
    EXPECT_EQ(readFile(path), "old content");
#endif
}

}  // namespace
