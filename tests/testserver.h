#ifndef TESTSERVER_H
#define TESTSERVER_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A collection server on a loopback address (127.0.0.1 unless told; ephemeral port) that runs
// on its own thread from construction to destruction. It records the exact bytes of every request (the header block
// plus a Content-Length body) and answers each one as its mode says. Every wait is bounded.
class TestServer {
public:
    enum class Mode {
        Normal,              // "HTTP/1.1 200 OK" with Content-Length, then close
        Segmented,           // the same answer in small pieces with pauses between them
        Chunked,             // chunked transfer coding; the connection stays open afterwards
        KeepOpen,            // Content-Length answer; the connection stays open afterwards
        Stalling,            // announces 100 more body bytes than it sends, then stays open
        NotFound,            // "HTTP/1.1 404 Not Found" with the body
        ErrorStatus,         // "HTTP/1.1 500 Internal Server Error" with the body
        Raw,                 // sends the body text alone as the whole answer, then closes
        CloseWithoutAnswer,  // reads the request, then closes (FIN first, then close)
        Reset,               // reads the request, then resets the connection (SO_LINGER 0)
        Silent,              // reads the request and never answers; held open until destruction
        NoContent,           // "HTTP/1.1 204 No Content"; held open, as a keep-alive server does
        NotModified,         // "HTTP/1.1 304 Not Modified" with a length but no body; held open
        InterimThenAnswer,   // "HTTP/1.1 100 Continue", then the Normal answer, then close
        KeepAliveUnframed,   // 200 without length or coding; closes only when the request
                             // asked for it with "Connection: close", else holds it open
        ResetAfterAnswer,    // "HTTP/1.0 200 OK" without length, the body, then a reset
    };

    explicit TestServer(Mode mode = Mode::Normal, std::string body = "success",
                        std::string address = "127.0.0.1");
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    uint16_t port() const { return m_port; }
    std::string url() const;  // "http://127.0.0.1:PORT", "http://[::1]:PORT"
    bool listening() const { return m_listener >= 0; }
    std::vector<std::string> requests() const;
    size_t connections() const;
    // True once count requests have been recorded; waits at most timeoutSeconds.
    bool waitForRequests(size_t count, double timeoutSeconds = 10) const;

    // The complete text the server sends in the answering modes.
    static std::string answerFor(Mode mode, const std::string& body);

private:
    void serve();
    void handle(int connection);
    std::string readRequest(int connection);
    bool sendSlowly(int connection, const std::string& data);

    const Mode m_mode;
    const std::string m_body;
    const std::string m_address;
    int m_listener = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stopping{false};
    int m_stopPipe[2] = {-1, -1};  // written once by the destructor to end every wait at once
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_arrived;
    std::vector<std::string> m_requests;
    size_t m_connections = 0;
    std::vector<int> m_held;  // connections kept open until destruction
    std::thread m_thread;
};

// A listener on 127.0.0.1 whose accept queue is full, so that a new connection's handshake never
// completes. Nothing accepts; the filler connections are held until destruction.
class FullListener {
public:
    FullListener();
    ~FullListener();
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;

    // False when this kernel still completed handshakes after filling: tests must skip then.
    bool blocksHandshakes() const { return m_blocks; }
    uint16_t port() const { return m_port; }
    std::string url() const;

private:
    int m_listener = -1;
    uint16_t m_port = 0;
    bool m_blocks = false;
    std::vector<int> m_fillers;
};

#endif
