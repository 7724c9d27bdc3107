#ifndef TLSTESTSERVER_H
#define TLSTESTSERVER_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testsupport.h"

// Certificates made at test time with the openssl command: a certificate authority of the
// test's own and server certificates, each written as NAME.crt and NAME.key into dir().
class TestPki {
public:
    enum class Key { Ec, Rsa };
    enum class Issue {
        Valid,       // issued by the test authority for "localhost", valid now
        OtherName,   // issued by the test authority for another name only
        Expired,     // issued by the test authority for "localhost", valid only in the past
        SelfSigned,  // signed by itself for "localhost", unknown to the trust store
    };

    TestPki();  // makes the authority; ok() tells whether openssl did its part
    bool ok() const { return m_ok; }
    std::string caFile() const { return m_dir.file("ca.crt"); }
    const std::string& dir() const { return m_dir.path(); }
    // Writes NAME.crt and NAME.key; false when openssl failed.
    bool make(const std::string& name, Issue issue, Key key = Key::Ec) const;

    static bool available();

private:
    bool openssl(const std::vector<std::string>& args) const;

    TempDir m_dir;
    bool m_ok = false;
};

// nginx serving TLS on 127.0.0.1 (a free port) from a configuration written into a
// directory of its own, as one foreground process; stopped on destruction.
class NginxTlsServer {
public:
    // serverDirectives go into the server block besides the certificate (for example the
    // protocols); location is the body of "location /". Without a certificate the server
    // speaks plain HTTP.
    NginxTlsServer(const std::string& certFile, const std::string& keyFile,
                   const std::string& serverDirectives, const std::string& location);
    ~NginxTlsServer();
    NginxTlsServer(const NginxTlsServer&) = delete;
    NginxTlsServer& operator=(const NginxTlsServer&) = delete;

    bool running() const { return m_pid > 0; }
    uint16_t port() const { return m_port; }
    // "https://localhost:PORT": the name the test certificates carry.
    std::string url() const;
    std::string errorLog() const { return readFile(m_dir.file("error.log")); }

    static bool available();
    // A location body that answers every request with 200 and this text (Content-Length).
    static std::string answering(const std::string& text);
    // A location body that passes every request to a plain HTTP server on loopback.
    static std::string proxyingTo(uint16_t port);

private:
    bool start(const std::string& config);
    void stop();

    TempDir m_dir;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
};

#endif
