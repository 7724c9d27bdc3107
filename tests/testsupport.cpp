#include "testsupport.h"

#include "ktrace.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include "agentpaths.h"

extern char** environ;

TempDir::TempDir() {
    char pattern[] = "/tmp/usage-agent-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    m_path = made != nullptr ? made : "";
}

namespace {

int removeEntry(const char* path, const struct stat*, int, FTW*) {
    // A leftover entry under /tmp harms no other test: go on with the rest.
    remove(path);
    return 0;
}

}  // namespace

// Removed in this process, children first, without following links. Spawning "rm" here would
// fork a test process whose server threads are still running and wait for the child without a
// bound; under qemu-user such a fork is the suspect of a test that once never ended.
TempDir::~TempDir() {
    if (m_path.empty()) return;
    nftw(m_path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

Argv::Argv(const std::vector<std::string>& args) : m_storage(args) {
    m_storage.insert(m_storage.begin(), "usage-agent");
    for (std::string& s : m_storage) m_pointers.push_back(&s[0]);
    m_pointers.push_back(nullptr);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool fileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::vector<std::string> agentEmulator() {
    std::vector<std::string> words;
    for (const char* const* e = AGENT_EMULATOR; *e != nullptr; ++e) words.emplace_back(*e);
    return words;
}

std::string copyAgentTo(const std::string& dir) {
    const std::string target = dir + "/usage-agent";
    writeFile(target, readFile(AGENT_PATH));
    chmod(target.c_str(), 0755);
    return target;
}

RunResult runProgram(std::vector<std::string> words, double timeoutSeconds) {
    RunResult result;
    if (words.empty()) return result;
    TempDir outputs;
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    const std::string outPath = outputs.file("out"), errPath = outputs.file("err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT, 0600);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return result;

    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (done == pid) {
            result.seconds = elapsed;
            break;
        }
        if (elapsed > timeoutSeconds) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.seconds = elapsed;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

RunResult runAgent(const std::vector<std::string>& args, const std::string& agentPath,
                   double timeoutSeconds) {
    std::vector<std::string> words = agentEmulator();
    words.push_back(agentPath.empty() ? AGENT_PATH : agentPath);
    words.insert(words.end(), args.begin(), args.end());
    return runProgram(std::move(words), timeoutSeconds);
}

std::string base64Decode(const std::string& text) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0) return std::string();
    std::string out;
    for (size_t i = 0; i < text.size(); i += 4) {
        unsigned int bits = 0;
        int padding = 0;
        for (size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            unsigned int value = 0;
            if (c == '=' && i + 4 == text.size() && j >= 2) {
                ++padding;
            } else {
                const size_t found = alphabet.find(c);
                if (found == std::string::npos || padding > 0) return std::string();
                value = static_cast<unsigned int>(found);
            }
            bits = (bits << 6) | value;
        }
        out += static_cast<char>((bits >> 16) & 0xFF);
        if (padding < 2) out += static_cast<char>((bits >> 8) & 0xFF);
        if (padding < 1) out += static_cast<char>(bits & 0xFF);
    }
    return out;
}

::testing::AssertionResult containsInOrder(const std::string& text,
                                           const std::vector<std::string>& parts) {
    size_t from = 0;
    for (const std::string& part : parts) {
        const size_t found = text.find(part, from);
        if (found == std::string::npos) {
            return ::testing::AssertionFailure()
                   << "\"" << part << "\" missing after offset " << from << " in:\n" << text;
        }
        from = found + part.size();
    }
    return ::testing::AssertionSuccess();
}

TraceCapture::TraceCapture() {
    writeFile(m_dir.file("trace"), "");
    m_fd = ::open(m_dir.file("trace").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    KTrace::init("1", m_fd, m_fd);
}

TraceCapture::~TraceCapture() {
    KTrace::init(nullptr);
    if (m_fd != -1) ::close(m_fd);
}

std::string TraceCapture::text() const { return readFile(m_dir.file("trace")); }

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

size_t openDescriptors() {
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return 0;
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count;
}

ScopedEnvironment::ScopedEnvironment(const char* name, const char* value) : m_name(name) {
    const char* old = getenv(name);
    m_had = old != nullptr;
    if (m_had) m_old = old;
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    if (m_had) {
        setenv(m_name.c_str(), m_old.c_str(), 1);
    } else {
        unsetenv(m_name.c_str());
    }
}
