#include "tlstestserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using std::chrono::milliseconds;

const char OPENSSL_CONFIG[] =
    "[req]\n"
    "distinguished_name = dn\n"
    "prompt = no\n"
    "[dn]\n"
    "CN = usage-agent test authority\n"
    "[authority]\n"
    "basicConstraints = critical,CA:TRUE\n"
    "keyUsage = critical,keyCertSign,cRLSign\n"
    "subjectKeyIdentifier = hash\n"
    "[localhost]\n"
    "basicConstraints = CA:FALSE\n"
    "keyUsage = critical,digitalSignature,keyEncipherment\n"
    "extendedKeyUsage = serverAuth\n"
    "subjectAltName = DNS:localhost, DNS:collector.test\n"
    "[othername]\n"
    "basicConstraints = CA:FALSE\n"
    "keyUsage = critical,digitalSignature,keyEncipherment\n"
    "extendedKeyUsage = serverAuth\n"
    "subjectAltName = DNS:other.invalid\n"
    "[ca]\n"
    "default_ca = testca\n"
    "[testca]\n"
    "database = DIR/index.txt\n"
    "new_certs_dir = DIR\n"
    "serial = DIR/serial\n"
    "default_md = sha256\n"
    "policy = anything\n"
    "unique_subject = no\n"
    "[anything]\n"
    "commonName = supplied\n";

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::vector<std::string> newKey(TestPki::Key key) {
    if (key == TestPki::Key::Rsa) return {"-newkey", "rsa:2048"};
    return {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1"};
}

bool onPath(const std::string& program) {
    return runProgram({"sh", "-c", "command -v " + program}, 10).status == 0;
}

// A loopback port that was free a moment ago.
uint16_t freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool accepts(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

}  // namespace

TestPki::TestPki() {
    const std::string config = replaceAll(OPENSSL_CONFIG, "DIR", m_dir.path());
    writeFile(m_dir.file("openssl.cnf"), config);
    writeFile(m_dir.file("index.txt"), "");
    writeFile(m_dir.file("serial"), "1000\n");
    std::vector<std::string> args = {"req", "-x509", "-extensions", "authority", "-nodes",
                                     "-days", "30", "-keyout", m_dir.file("ca.key"), "-out",
                                     caFile()};
    const std::vector<std::string> key = newKey(Key::Ec);
    args.insert(args.end(), key.begin(), key.end());
    m_ok = openssl(args);
}

bool TestPki::available() { return onPath("openssl"); }

bool TestPki::openssl(const std::vector<std::string>& args) const {
    std::vector<std::string> words = {"openssl"};
    words.insert(words.end(), args.begin(), args.end());
    // "req" and "ca" read their settings from the test's own file, never the system's.
    if (args[0] == "req" || args[0] == "ca") {
        words.insert(words.begin() + 2, {"-config", m_dir.file("openssl.cnf")});
    }
    const RunResult result = runProgram(words, 60);
    return result.status == 0;
}

bool TestPki::make(const std::string& name, Issue issue, Key key) const {
    const std::string crt = m_dir.file(name + ".crt"), keyFile = m_dir.file(name + ".key");
    const std::vector<std::string> keyArgs = newKey(key);
    std::vector<std::string> request = {"req", "-nodes", "-keyout", keyFile, "-subj",
                                        "/CN=" + std::string(issue == Issue::OtherName
                                                                 ? "other.invalid"
                                                                 : "localhost")};
    request.insert(request.end(), keyArgs.begin(), keyArgs.end());
    if (issue == Issue::SelfSigned) {
        request.insert(request.end(),
                       {"-x509", "-extensions", "localhost", "-days", "30", "-out", crt});
        return openssl(request);
    }
    const std::string csr = m_dir.file(name + ".csr");
    request.insert(request.end(), {"-new", "-out", csr});
    if (!openssl(request)) return false;
    std::vector<std::string> sign = {"ca", "-batch", "-notext", "-cert", caFile(), "-keyfile",
                                     m_dir.file("ca.key"), "-in", csr, "-out", crt,
                                     "-extfile", m_dir.file("openssl.cnf"), "-extensions",
                                     issue == Issue::OtherName ? "othername" : "localhost"};
    if (issue == Issue::Expired) {
        sign.insert(sign.end(), {"-startdate", "20200101000000Z", "-enddate", "20200201000000Z"});
    } else {
        sign.insert(sign.end(), {"-days", "30"});
    }
    return openssl(sign);
}

NginxTlsServer::NginxTlsServer(const std::string& certFile, const std::string& keyFile,
                               const std::string& serverDirectives, const std::string& location) {
    const std::string dir = m_dir.path();
    // A port taken by someone else between choosing and binding gets another try.
    for (int attempt = 0; attempt < 3 && !running(); ++attempt) {
        m_port = freePort();
        const std::string config =
            "daemon off;\nmaster_process off;\nworker_processes 1;\n"
            "pid " + dir + "/nginx.pid;\nerror_log " + dir + "/error.log warn;\n"
            "events { worker_connections 64; }\n"
            "http {\n"
            "  access_log off;\n"
            "  client_body_temp_path " + dir + "/body;\n"
            "  proxy_temp_path " + dir + "/proxy;\n"
            "  fastcgi_temp_path " + dir + "/fastcgi;\n"
            "  uwsgi_temp_path " + dir + "/uwsgi;\n"
            "  scgi_temp_path " + dir + "/scgi;\n"
            "  server {\n"
            "    listen 127.0.0.1:" + std::to_string(m_port) + (certFile.empty() ? ";\n" : " ssl;\n") +
            (certFile.empty() ? std::string()
                              : "    ssl_certificate " + certFile + ";\n"
                                "    ssl_certificate_key " + keyFile + ";\n") +
            "    " + serverDirectives + "\n"
            "    location / { " + location + " }\n"
            "  }\n"
            "}\n";
        writeFile(m_dir.file("nginx.conf"), config);
        start(m_dir.file("nginx.conf"));
    }
}

NginxTlsServer::~NginxTlsServer() { stop(); }

std::string NginxTlsServer::url() const { return "https://localhost:" + std::to_string(m_port); }

bool NginxTlsServer::available() { return onPath("nginx"); }

std::string NginxTlsServer::answering(const std::string& text) {
    return "default_type text/plain; return 200 \"" + text + "\";";
}

std::string NginxTlsServer::proxyingTo(uint16_t port) {
    return "proxy_pass http://127.0.0.1:" + std::to_string(port) +
           "; proxy_http_version 1.1; proxy_set_header Host $http_host; proxy_buffering off;";
}

bool NginxTlsServer::start(const std::string& config) {
    const std::string logPath = m_dir.file("nginx.out");
    std::vector<std::string> words = {"nginx", "-p", m_dir.path(), "-c", config, "-q"};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT, 0600);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;
    m_pid = pid;
    // Ready once it accepts; gone if it exited (a configuration error or a taken port).
    for (int i = 0; i < 200; ++i) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        if (accepts(m_port)) return true;
        std::this_thread::sleep_for(milliseconds(25));
    }
    stop();
    return false;
}

void NginxTlsServer::stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, &status, 0);
    m_pid = -1;
}
