#include "ktcpsocket.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "testserver.h"
#include "testsupport.h"

namespace {

using Clock = KTCPSocket::Clock;
using std::chrono::milliseconds;

// Reads until the peer closes, the deadline passes, or an error; the bytes read.
std::string readUntilClosed(KTCPSocket& socket, Clock::time_point deadline, int32_t& last) {
    std::string data;
    char buffer[512];
    last = -1;
    while (socket.waitReadable(deadline)) {
        last = socket.recv(buffer, sizeof buffer);
        if (last <= 0) break;
        data.append(buffer, static_cast<size_t>(last));
    }
    return data;
}

// A port on 127.0.0.1 that is bound but not listening, so connecting there is refused. Closed
// by the destructor; until then no other program can take the port.
class RefusingPort {
public:
    RefusingPort() : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address;
        std::memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
            m_port = ntohs(address.sin_port);
        }
    }
    ~RefusingPort() { close(m_fd); }
    uint16_t port() const { return m_port; }

private:
    int m_fd;
    uint16_t m_port = 0;
};

TEST(KTCPSocketTest, ExchangesBytesWithDottedAddressAndSeesTheClose) {
    TestServer server(TestServer::Mode::Normal, "hello");
    ASSERT_NE(server.port(), 0);
    KTCPSocket socket;
    ASSERT_TRUE(socket.connect("127.0.0.1", server.port()));

    const std::string request = "POST / HTTP/1.1\r\n\r\n";
    ASSERT_TRUE(socket.waitWritable(Clock::now() + milliseconds(5000)));
    EXPECT_EQ(socket.send(request.data(), static_cast<int32_t>(request.size())),
              static_cast<int32_t>(request.size()));
    int32_t last = -1;
    const std::string reply = readUntilClosed(socket, Clock::now() + milliseconds(20000), last);
    EXPECT_EQ(reply, TestServer::answerFor(TestServer::Mode::Normal, "hello"));
    EXPECT_EQ(last, 0);  // the server closed after answering
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_EQ(server.requests().at(0), request);
}

TEST(KTCPSocketTest, ResolvesHostNames) {
    TestServer server;
    KTCPSocket socket;
    EXPECT_TRUE(socket.connect("localhost", server.port()));
}

TEST(KTCPSocketTest, UnresolvableNameFails) {
    // A label longer than 63 bytes is refused by the resolver itself, so no query leaves.
    const std::string name = std::string(70, 'a') + ".invalid";
    KTCPSocket socket;
    EXPECT_FALSE(socket.connect(name, 80));
}

TEST(KTCPSocketTest, RefusedConnectionFailsAndTheDescriptorIsClosed) {
    RefusingPort refusing;
    ASSERT_NE(refusing.port(), 0);
    const size_t before = openDescriptors();
    {
        KTCPSocket socket;
        EXPECT_FALSE(socket.connect("127.0.0.1", refusing.port()));
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(KTCPSocketTest, HandshakeThatNeverCompletesEndsAtTheTimeOut) {
    FullListener listener;
    if (!listener.blocksHandshakes()) {
        GTEST_SKIP() << "this kernel completes handshakes even with a full accept queue";
    }
    KTCPSocket socket;
    const auto start = Clock::now();
    EXPECT_FALSE(socket.connect("127.0.0.1", listener.port(), milliseconds(300)));
    EXPECT_LT(secondsSince(start), 4.0);  // far below the default bound: it did not hang
}

TEST(KTCPSocketTest, SendingToAClosedPeerFailsWithoutSignal) {
    signal(SIGPIPE, SIG_DFL);  // a missing MSG_NOSIGNAL would end this test's process
    TestServer server(TestServer::Mode::CloseWithoutAnswer);
    KTCPSocket socket;
    ASSERT_TRUE(socket.connect("127.0.0.1", server.port()));
    const std::string request = "POST / HTTP/1.1\r\n\r\n";
    ASSERT_EQ(socket.send(request.data(), static_cast<int32_t>(request.size())),
              static_cast<int32_t>(request.size()));
    int32_t last = -1;
    readUntilClosed(socket, Clock::now() + milliseconds(20000), last);
    ASSERT_EQ(last, 0);

    // The first send after the close draws a reset; the ones after it fail with EPIPE.
    int failures = 0, lastError = 0;
    for (int attempt = 0; attempt < 200 && failures < 3; ++attempt) {
        if (socket.send(request.data(), static_cast<int32_t>(request.size())) < 0) {
            ++failures;
            lastError = errno;
        } else {
            std::this_thread::sleep_for(milliseconds(5));
        }
    }
    EXPECT_EQ(failures, 3);
    EXPECT_EQ(lastError, EPIPE);
}

TEST(KTCPSocketTest, WaitingForDataEndsAtTheDeadline) {
    TestServer server(TestServer::Mode::Silent);
    KTCPSocket socket;
    ASSERT_TRUE(socket.connect("127.0.0.1", server.port()));
    const auto start = Clock::now();
    EXPECT_FALSE(socket.waitReadable(start + milliseconds(200)));
    EXPECT_LT(secondsSince(start), 4.0);
    char byte = 0;
    EXPECT_EQ(socket.recv(&byte, 1), -1);  // nothing there, and the call does not wait for it
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
}

}  // namespace
