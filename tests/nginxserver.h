#ifndef NGINXSERVER_H
#define NGINXSERVER_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testsupport.h"

// A real nginx on 127.0.0.1 that answers every request with one fixed `return` directive
// (for example "204" or "200 success"), run in the foreground from a configuration of its own in
// a temporary directory, and stopped when the object goes. Each request line it served is
// logged, so tests can check what it received. Every wait is bounded.
class NginxServer {
public:
    explicit NginxServer(const std::string& returnDirective);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // False when nginx is not installed or did not start; say why with whyNotRunning().
    bool running() const { return m_pid > 0 && m_port != 0; }
    const std::string& whyNotRunning() const { return m_why; }
    std::string url() const;
    // The request lines served so far ("POST /path?query HTTP/1.1"), oldest first.
    std::vector<std::string> requestLines() const;
    // True once count requests are logged; waits at most timeoutSeconds.
    bool waitForRequests(size_t count, double timeoutSeconds = 5) const;

private:
    TempDir m_dir;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::string m_why;
};

#endif
