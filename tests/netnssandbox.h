#ifndef NETNSSANDBOX_H
#define NETNSSANDBOX_H

// Runs part of a test in a child process inside new network and mount namespaces, where the test
// alone decides which adapters exist and which names the virtual-device directory lists. The
// host's adapters and mounts are never touched, and everything made inside goes with the child.
// Header-only so that any suite can include it without a change to the build.

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "testsupport.h"

// Ends the test as skipped when namespaces cannot be made here, and as failed when the sandbox
// did not deliver the body's result.
#define ASSERT_SANDBOX_DONE(outcome)                                    \
    if ((outcome).kind == SandboxOutcome::Kind::Unavailable) {          \
        GTEST_SKIP() << "needs network namespaces: " << (outcome).text; \
    }                                                                   \
    ASSERT_EQ((outcome).kind, SandboxOutcome::Kind::Done) << (outcome).text

// A device made through the tun driver, which alone can change a device's hardware type: a tun
// device retyped as Ethernet reports the all-zero address, which no Ethernet driver here
// accepts from `ip link set ... address`, and a tap device can be retyped as IEEE 802.
struct TunDevice {
    std::string name;
    bool tap = false;                 // tap: random Ethernet address; tun: no address at all
    unsigned short hardwareType = 0;  // the ARPHRD_ type the device reports
};

struct NetworkSetup {
    std::vector<TunDevice> tunDevices;               // made first
    std::vector<std::vector<std::string>> commands;  // then these host programs, in order
    std::vector<std::string> virtualNames;           // entries of /sys/devices/virtual/net
    bool virtualDirectoryExists = true;              // false: no such directory at all
};

struct SandboxOutcome {
    enum class Kind { Done, Unavailable, Failed };
    Kind kind = Kind::Failed;
    std::string text;  // Done: what the body returned; otherwise why it did not run
};

namespace netnssandbox {

constexpr char VIRTUAL_NET[] = "/sys/devices/virtual/net";
constexpr char VIRTUAL_PARENT[] = "/sys/devices/virtual";

inline std::string errorText(const std::string& what) { return what + ": " + std::strerror(errno); }

inline void writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        done += static_cast<size_t>(written);
    }
}

// Empty on success, else what went wrong.
inline std::string makeTunDevice(const TunDevice& device) {
    const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd == -1) return errorText("open /dev/net/tun");
    ifreq request;
    std::memset(&request, 0, sizeof request);
    std::strncpy(request.ifr_name, device.name.c_str(), IFNAMSIZ - 1);
    request.ifr_flags = (device.tap ? IFF_TAP : IFF_TUN) | IFF_NO_PI;
    std::string error;
    if (ioctl(fd, TUNSETIFF, &request) == -1) {
        error = errorText("TUNSETIFF " + device.name);
    } else if (ioctl(fd, TUNSETPERSIST, 1UL) == -1) {
        error = errorText("TUNSETPERSIST " + device.name);
    } else if (ioctl(fd, TUNSETLINK, static_cast<unsigned long>(device.hardwareType)) == -1) {
        error = errorText("TUNSETLINK " + device.name);
    }
    close(fd);
    return error;
}

inline std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

// Sends one tagged message to the parent and ends the child without running the test
// framework's exit handlers, which belong to the parent.
[[noreturn]] inline void finish(int out, char tag, const std::string& text) {
    writeAll(out, std::string(1, tag) + text);
    _exit(0);
}

[[noreturn]] inline void runChild(int out, const NetworkSetup& setup,
                                  const std::string& mountedDirectory,
                                  const std::function<std::string(const std::string&)>& body) {
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) == -1) {
        finish(out, 'U', errorText("cannot create network and mount namespaces (unshare)"));
    }
    // Without this the bind mount below would propagate back into the host's namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1) {
        finish(out, 'F', errorText("cannot make mounts private"));
    }
    for (const TunDevice& device : setup.tunDevices) {
        const std::string error = makeTunDevice(device);
        if (!error.empty()) finish(out, 'F', error);
    }
    for (const std::vector<std::string>& command : setup.commands) {
        const RunResult result = runProgram(command, 30);
        if (result.status != 0) {
            finish(out, 'F',
                   "`" + joined(command) + "` failed: status " + std::to_string(result.status) +
                       " " + result.err);
        }
    }
    // sysfs keeps showing the host's devices in a new network namespace, so the directory the
    // code under test reads is replaced by the test's own.
    const char* target = setup.virtualDirectoryExists ? VIRTUAL_NET : VIRTUAL_PARENT;
    if (mount(mountedDirectory.c_str(), target, nullptr, MS_BIND, nullptr) == -1) {
        finish(out, 'F', errorText(std::string("bind mount over ") + target));
    }
    finish(out, 'D', body(mountedDirectory));
}

// Collects everything the child sends until it closes the pipe; false on time-out.
inline bool readUntilClosed(int in, std::chrono::steady_clock::time_point deadline,
                            std::string& received) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd watched = {in, POLLIN, 0};
        const int ready = poll(&watched, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char buffer[4096];
        const ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return true;
        received.append(buffer, static_cast<size_t>(got));
    }
}

}  // namespace netnssandbox

// Sets up the namespaces as described, then calls body with the directory mounted at
// /sys/devices/virtual/net (or, when that is to be missing, at /sys/devices/virtual, so body can
// make "net" appear later). body runs in the child: it must not use test assertions, only return
// text. Never waits longer than timeoutSeconds; a hanging child is killed.
inline SandboxOutcome runInNetworkSandbox(
    const NetworkSetup& setup, const std::function<std::string(const std::string&)>& body,
    double timeoutSeconds = 60) {
    using netnssandbox::errorText;
    SandboxOutcome outcome;
    if (geteuid() != 0) {
        outcome.kind = SandboxOutcome::Kind::Unavailable;
        outcome.text = "creating network namespaces and interfaces needs root";
        return outcome;
    }
    TempDir mounted;
    if (setup.virtualDirectoryExists) {
        for (const std::string& name : setup.virtualNames) mkdir(mounted.file(name).c_str(), 0755);
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) == -1) {
        outcome.text = errorText("pipe2");
        return outcome;
    }
    // Buffered output would otherwise be written twice, once by each process.
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == -1) {
        outcome.text = errorText("fork");
        close(pipeFds[0]);
        close(pipeFds[1]);
        return outcome;
    }
    if (pid == 0) {
        close(pipeFds[0]);
        netnssandbox::runChild(pipeFds[1], setup, mounted.path(), body);
    }
    close(pipeFds[1]);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
    std::string received;
    const bool closed = netnssandbox::readUntilClosed(pipeFds[0], deadline, received);
    close(pipeFds[0]);
    if (!closed) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
    }
    if (!closed) {
        outcome.text = "the sandboxed child did not finish within " +
                       std::to_string(timeoutSeconds) + " s and was killed";
    } else if (received.empty()) {
        outcome.text = "the sandboxed child ended without a result (wait status " +
                       std::to_string(status) + ")";
    } else {
        const char tag = received[0];
        outcome.kind = tag == 'D'   ? SandboxOutcome::Kind::Done
                       : tag == 'U' ? SandboxOutcome::Kind::Unavailable
                                    : SandboxOutcome::Kind::Failed;
        outcome.text = received.substr(1);
    }
    return outcome;
}

// Runs body in a child process whose mount namespace has an empty tmpfs over /proc, as in a
// chroot or a minimal container; the host's /proc is untouched. body must not use test
// assertions, only return text. Never waits longer than timeoutSeconds.
inline SandboxOutcome runWithoutProc(const std::function<std::string()>& body,
                                     double timeoutSeconds = 60) {
    using netnssandbox::errorText;
    SandboxOutcome outcome;
    if (geteuid() != 0) {
        outcome.kind = SandboxOutcome::Kind::Unavailable;
        outcome.text = "mounting over /proc needs root";
        return outcome;
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) == -1) {
        outcome.text = errorText("pipe2");
        return outcome;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == -1) {
        outcome.text = errorText("fork");
        close(pipeFds[0]);
        close(pipeFds[1]);
        return outcome;
    }
    if (pid == 0) {
        close(pipeFds[0]);
        const int out = pipeFds[1];
        if (unshare(CLONE_NEWNS) == -1) {
            netnssandbox::finish(out, 'U', errorText("cannot create a mount namespace (unshare)"));
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1) {
            netnssandbox::finish(out, 'F', errorText("cannot make mounts private"));
        }
        if (mount("none", "/proc", "tmpfs", 0, "size=64k") == -1) {
            netnssandbox::finish(out, 'F', errorText("tmpfs over /proc"));
        }
        netnssandbox::finish(out, 'D', body());
    }
    close(pipeFds[1]);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
    std::string received;
    const bool closed = netnssandbox::readUntilClosed(pipeFds[0], deadline, received);
    close(pipeFds[0]);
    if (!closed) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
    }
    if (!closed || received.empty()) {
        outcome.text = closed ? "the child ended without a result" : "the child was killed";
        return outcome;
    }
    outcome.kind = received[0] == 'D'   ? SandboxOutcome::Kind::Done
                   : received[0] == 'U' ? SandboxOutcome::Kind::Unavailable
                                        : SandboxOutcome::Kind::Failed;
    outcome.text = received.substr(1);
    return outcome;
}

#endif
