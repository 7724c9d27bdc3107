#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// A mutable argv for the given arguments with the program name first, as the kernel gives it.
class Argv {
public:
    explicit Argv(const std::vector<std::string>& args);
    int argc() const { return static_cast<int>(m_storage.size()); }
    char** argv() { return m_pointers.data(); }

private:
    std::vector<std::string> m_storage;
    std::vector<char*> m_pointers;
};

struct RunResult {
    int status = -1;      // exit status, or -1 when the process did not exit normally
    int signal = 0;       // the signal that ended it, if any
    bool timedOut = false;
    std::string out;
    std::string err;
    double seconds = 0;
};

// Runs a host program (words[0], looked up in PATH) with stdin from /dev/null, waiting at most
// timeoutSeconds before killing it.
RunResult runProgram(std::vector<std::string> words, double timeoutSeconds = 60);
// The command prefix that runs a target executable: empty natively, qemu in a cross build.
std::vector<std::string> agentEmulator();
// Runs the agent built with these tests, or a copy of it, through agentEmulator().
RunResult runAgent(const std::vector<std::string>& args, const std::string& agentPath = "",
                   double timeoutSeconds = 60);
// Copies the built agent into dir and returns the copy's path.
std::string copyAgentTo(const std::string& dir);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);
// Strict decoder for checking what the agent wrote; empty on malformed input.
std::string base64Decode(const std::string& text);
// Seconds since start, for checks that something did not hang.
double secondsSince(std::chrono::steady_clock::time_point start);
// Descriptors this process has open now, for checks that none is left behind.
size_t openDescriptors();

// Sets an environment variable (or removes it, for nullptr) and restores the old state when the
// object goes.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value);
    ScopedEnvironment(const char* name, const std::string& value)
        : ScopedEnvironment(name, value.c_str()) {}
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string m_name;
    std::string m_old;
    bool m_had = false;
};

// Turns the agent's trace on for this process while the object lives, into a file of its own.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;
    // Everything traced so far.
    std::string text() const;

private:
    TempDir m_dir;
    int m_fd = -1;
};

// Success when each part occurs in text after the one before it. Trace checks use it, so that
// the wording around the parts can change without the tests.
::testing::AssertionResult containsInOrder(const std::string& text,
                                           const std::vector<std::string>& parts);

#endif
