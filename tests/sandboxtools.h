#ifndef SANDBOXTOOLS_H
#define SANDBOXTOOLS_H

// Tools for network tests that run inside runInNetworkSandbox (netnssandbox.h): system files
// replaced for the sandbox alone (the names the resolver knows, its name servers), helper
// programs in the background, and a copy of the agent pointed at two servers.
// Header-only, like the sandbox itself.

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "netnssandbox.h"
#include "testsupport.h"

extern char** environ;

// Puts content in place of target (for example /etc/hosts) for this mount namespace only; the
// sandbox made the mounts private, so the host never sees it. Empty on success, else why not.
inline std::string replaceSystemFile(const TempDir& dir, const std::string& target,
                                     const std::string& content) {
    std::string name = target;
    for (char& c : name) c = c == '/' ? '_' : c;
    const std::string source = dir.file("system" + name);
    writeFile(source, content);
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        return "bind mount over " + target + ": " + std::strerror(errno);
    }
    return std::string();
}

// True once something accepts TCP connections on 127.0.0.1:port; gives up after timeoutSeconds.
inline bool waitForListener(uint16_t port, double timeoutSeconds) {
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
    while (std::chrono::steady_clock::now() < end) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        const bool connected =
            fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (fd >= 0) close(fd);
        if (connected) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// A host program running in the background, with its output in outputPath; stopped (SIGTERM,
// then SIGKILL after a second) when the object goes.
class BackgroundProgram {
public:
    BackgroundProgram(std::vector<std::string> words, const std::string& outputPath) {
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(&word[0]);
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~BackgroundProgram() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100; ++i) {
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
    }
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;
    bool started() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
};

// A network namespace with nothing but its loopback device, up.
inline NetworkSetup loopbackOnly() {
    NetworkSetup setup;
    setup.commands = {{"ip", "link", "set", "lo", "up"}};
    return setup;
}

// The C library runs name lookups with a deadline on helper threads, which linger for a second
// after their last lookup. A process forked meanwhile inherits the library's belief in an idle
// helper that does not exist in it, so its own lookups would never run. A sandbox whose body
// looks names up in process is therefore forked only once this process has a single thread
// again, or once any helper has surely ended (an emulator may keep threads of its own).
inline SandboxOutcome runInNetworkSandboxForLookups(
    const NetworkSetup& setup, const std::function<std::string(const std::string&)>& body) {
    for (int i = 0; i < 120; ++i) {
        size_t threads = 0;
        if (DIR* dir = opendir("/proc/self/task")) {
            while (const dirent* entry = readdir(dir)) threads += entry->d_name[0] != '.';
            closedir(dir);
        }
        if (threads <= 1) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return runInNetworkSandbox(setup, body);
}

// Runs a copy of the agent in dir whose oem.ini names custom and whose vorncheck.ini names
// standard, with "-f ic -v 2".
inline RunResult runAgentWithServers(const TempDir& dir, const std::string& custom,
                                     const std::string& standard, double timeoutSeconds = 60) {
    writeFile(dir.file("oem.ini"), "[Server]\nCustomICServer=" + custom + "\n");
    writeFile(dir.file("vorncheck.ini"), "[Server]\nICServer=" + standard + "\n");
    return runAgent({"-f", "ic", "-v", "2"}, copyAgentTo(dir.path()), timeoutSeconds);
}

#endif
