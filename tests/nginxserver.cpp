#include "nginxserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

constexpr const char* NGINX_CANDIDATES[] = {"/usr/sbin/nginx", "/usr/bin/nginx"};
constexpr double START_SECONDS = 10;
constexpr double STOP_SECONDS = 10;

std::string nginxPath() {
    for (const char* path : NGINX_CANDIDATES) {
        if (access(path, X_OK) == 0) return path;
    }
    return std::string();
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A loopback port that was free a moment ago; nginx binds it right after.
uint16_t freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool accepts(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const sockaddr_in address = loopback(port);
    const bool connected =
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

}  // namespace

NginxServer::NginxServer(const std::string& returnDirective) {
    const std::string nginx = nginxPath();
    if (nginx.empty()) {
        m_why = "nginx is not installed (scripts/install-deps.sh installs nginx-light)";
        return;
    }
    const uint16_t port = freePort();
    mkdir(m_dir.file("logs").c_str(), 0755);
    mkdir(m_dir.file("temp").c_str(), 0755);
    const std::string temp = m_dir.file("temp");
    writeFile(m_dir.file("nginx.conf"),
              "daemon off;\nmaster_process on;\nworker_processes 1;\nuser root;\n"
              "pid " + m_dir.file("nginx.pid") + ";\nerror_log " + m_dir.file("logs/error.log") +
                  ";\nevents { worker_connections 16; }\nhttp {\n"
                  "  log_format line '$request';\n"
                  "  access_log " + m_dir.file("logs/access.log") + " line;\n"
                  "  client_body_temp_path " + temp + "; proxy_temp_path " + temp +
                  "; fastcgi_temp_path " + temp + "; uwsgi_temp_path " + temp +
                  "; scgi_temp_path " + temp + ";\n"
                  "  server { listen 127.0.0.1:" + std::to_string(port) +
                  "; location / { return " + returnDirective + "; } }\n}\n");
    std::vector<std::string> words = {nginx, "-q", "-p", m_dir.path() + "/", "-c",
                                      m_dir.file("nginx.conf")};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, m_dir.file("logs/stderr").c_str(),
                                     O_WRONLY | O_CREAT, 0600);
    const int spawned = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        m_pid = -1;
        m_why = "cannot start " + nginx;
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    while (secondsSince(start) < START_SECONDS) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_why = "nginx ended at start: " + readFile(m_dir.file("logs/stderr")) +
                    readFile(m_dir.file("logs/error.log"));
            return;
        }
        if (accepts(port)) {
            m_port = port;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_why = "nginx did not listen within " + std::to_string(START_SECONDS) + " s";
}

NginxServer::~NginxServer() {
    if (m_pid <= 0) return;
    // SIGTERM is nginx's fast shutdown; the master stops its worker before it exits.
    kill(m_pid, SIGTERM);
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    while (waitpid(m_pid, &status, WNOHANG) != m_pid) {
        if (secondsSince(start) > STOP_SECONDS) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string NginxServer::url() const { return "http://127.0.0.1:" + std::to_string(m_port); }

std::vector<std::string> NginxServer::requestLines() const {
    std::vector<std::string> lines;
    std::istringstream log(readFile(m_dir.file("logs/access.log")));
    for (std::string line; std::getline(log, line);) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

bool NginxServer::waitForRequests(size_t count, double timeoutSeconds) const {
    const auto start = std::chrono::steady_clock::now();
    while (requestLines().size() < count) {
        if (secondsSince(start) > timeoutSeconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
