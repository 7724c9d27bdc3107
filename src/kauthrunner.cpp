#include "kauthrunner.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <thread>

#include "kfiledescriptor.h"
#include "ktrace.h"

namespace {

using Clock = std::chrono::steady_clock;
using CodeFunction = std::string (*)();

// How often the parent looks whether the child has ended once its pipe is closed; the child
// ends right after closing it, so the first look nearly always finds it.
constexpr std::chrono::microseconds REAP_INTERVAL{200};
constexpr int CHILD_FAILED = 1;
// The first byte the child sends: which entry point gave the code, or why there is none.
constexpr char FROM_MLIST = 'm';
constexpr char FROM_SLIST = 's';
constexpr char NOT_LOADED = 'L';
constexpr char NO_ENTRY_POINTS = 'E';

// Owns a started child: one that is still running when the owner goes is killed and reaped.
class Child {
public:
    explicit Child(pid_t pid) : m_pid(pid) {}
    ~Child() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGKILL);
        int status = 0;
        while (waitpid(m_pid, &status, 0) == -1 && errno == EINTR) {
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Waits until the child ends, at most until the deadline; false when it is still running
    // then (it is killed with its owner). status receives what waitpid reported.
    bool endedBy(Clock::time_point deadline, int& status) {
        for (;;) {
            const pid_t done = waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid) {
                m_pid = -1;
                return true;
            }
            if (done == -1 && errno != EINTR) {
                m_pid = -1;
                status = -1;
                return true;
            }
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(REAP_INTERVAL);
        }
    }

private:
    pid_t m_pid;
};

bool writeAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// The library's text copied into a string of the agent's own, with the library's string
// destroyed here: a string of another layout fails on the way instead of being sent.
std::string askEntry(CodeFunction entry) {
    const std::string fromLibrary = entry();
    return std::string(fromLibrary.data(), fromLibrary.size());
}

// The child keeps no terminal: whatever the library prints goes nowhere.
void silenceStandardStreams() {
    const int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) {
        if (null != -1) {
            dup2(null, fd);
        } else {
            close(fd);
        }
    }
    if (null > 2) close(null);
}

// Runs in the child: loads the library, asks it, and sends the code as its length followed by
// its bytes. Never returns.
[[noreturn]] void runChild(const std::string& libraryPath, int out) {
    // The pipe must not be one of the standard descriptors that are about to be replaced.
    if (out <= 2) out = fcntl(out, F_DUPFD_CLOEXEC, 3);
    silenceStandardStreams();
    if (out == -1) _exit(CHILD_FAILED);
    void* const handle = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        (void)writeAll(out, &NOT_LOADED, 1);
        _exit(CHILD_FAILED);
    }
    // POSIX guarantees that a data pointer from dlsym converts to a function pointer.
    const auto mList = reinterpret_cast<CodeFunction>(dlsym(handle, "mList"));
    const auto sList = reinterpret_cast<CodeFunction>(dlsym(handle, "sList"));
    // The product ships both entry points together; one alone means a damaged library.
    if (mList == nullptr || sList == nullptr) {
        (void)writeAll(out, &NO_ENTRY_POINTS, 1);
        _exit(CHILD_FAILED);
    }
    char source = FROM_MLIST;
    std::string code = askEntry(mList);
    if (code.empty()) {
        source = FROM_SLIST;
        code = askEntry(sList);
    }
    const uint64_t length = code.size();
    const bool sent = writeAll(out, &source, 1) &&
                      writeAll(out, reinterpret_cast<const char*>(&length), sizeof length) &&
                      writeAll(out, code.data(), code.size());
    // _exit: the library's and the agent's exit handlers belong to the parent.
    _exit(sent ? 0 : CHILD_FAILED);
}

// Everything the child sends until it closes the pipe; false when it sends too much or the
// deadline passes first.
bool readUntilClosed(int in, Clock::time_point deadline, std::string& received) {
    char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd watched = {in, POLLIN, 0};
        const int ready = poll(&watched, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        received.append(buffer, static_cast<size_t>(got));
        if (received.size() > 1 + sizeof(uint64_t) + KAuthRunner::MAX_CODE_BYTES) return false;
    }
}

// The code when the message is a source byte, the code's length, then exactly that many bytes.
bool decodeMessage(const std::string& message, std::string& code) {
    uint64_t length = 0;
    if (message.size() < 1 + sizeof length) return false;
    if (message[0] != FROM_MLIST && message[0] != FROM_SLIST) return false;
    std::memcpy(&length, message.data() + 1, sizeof length);
    if (message.size() - 1 - sizeof length != length) return false;
    code = message.substr(1 + sizeof length);
    return true;
}

// Tells the trace how the child ended and what it said.
void traceOutcome(const std::string& message, int status) {
    if (!KTrace::enabled()) return;
    const char first = message.empty() ? '\0' : message[0];
    if (first == NOT_LOADED) {
        KTrace::event("authorization library: could not be loaded");
    } else if (first == NO_ENTRY_POINTS) {
        KTrace::event("authorization library: mList or sList missing");
    } else if (status == -1) {
        KTrace::event("authorization library: child lost");
    } else if (WIFSIGNALED(status)) {
        KTrace::event("authorization library: child ended by signal %d (%s)", WTERMSIG(status),
                      strsignal(WTERMSIG(status)));
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        KTrace::event("authorization library: child exited with status %d", WEXITSTATUS(status));
    } else if (first == FROM_MLIST || first == FROM_SLIST) {
        std::string code;
        if (decodeMessage(message, code)) {
            KTrace::event("authorization library: code from %s, %s",
                          first == FROM_MLIST ? "mList" : "sList", KTrace::redacted(code).c_str());
        } else {
            KTrace::event("authorization library: incomplete code");
        }
    } else {
        KTrace::event("authorization library: child ended without a code");
    }
}

}  // namespace

std::string KAuthRunner::codes(const std::string& libraryPath) {
    return codes(libraryPath, TIMEOUT);
}

std::string KAuthRunner::codes(const std::string& libraryPath, std::chrono::milliseconds timeout) {
    // A bare or relative name would be looked up through the loader's search path or the
    // working directory, which may hold a foreign library.
    if (libraryPath.empty() || libraryPath.front() != '/') return std::string();
    KTrace::event("authorization library %s: asked in a child process", libraryPath.c_str());
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) == -1) return std::string();
    KFileDescriptor readEnd(ends[0]), writeEnd(ends[1]);
    const Clock::time_point deadline = Clock::now() + timeout;
    const pid_t pid = fork();
    if (pid == -1) return std::string();
    if (pid == 0) runChild(libraryPath, writeEnd.get());
    Child child(pid);
    writeEnd.reset();

    std::string message;
    if (!readUntilClosed(readEnd.get(), deadline, message)) {
        KTrace::event("authorization library: no answer within %lld ms, or too long a one; "
                      "child killed",
                      static_cast<long long>(timeout.count()));
        return std::string();
    }
    // A child that sent a whole code and then died on the way out still did not end cleanly.
    int status = 0;
    if (!child.endedBy(deadline, status)) {
        KTrace::event("authorization library: child still running after %lld ms, killed",
                      static_cast<long long>(timeout.count()));
        return std::string();
    }
    traceOutcome(message, status);
    std::string code;
    const bool clean = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return clean && decodeMessage(message, code) ? code : std::string();
}
