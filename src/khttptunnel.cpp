#include "khttptunnel.h"

#include <cerrno>

#include "ktrace.h"

namespace {

constexpr char ANSWER_END[] = "\r\n\r\n";
constexpr size_t ANSWER_END_LENGTH = 4;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads the proxy's answer block; empty when it does not come complete before the deadline.
std::string readAnswer(KTCPSocket& socket, KHTTPTunnel::Clock::time_point deadline) {
    std::string answer;
    char buffer[1024];
    while (answer.size() < KHTTPTunnel::MAX_ANSWER_BYTES) {
        if (KHTTPTunnel::Clock::now() >= deadline || !socket.waitReadable(deadline)) break;
        const int32_t received = socket.recv(buffer, static_cast<int32_t>(sizeof buffer));
        if (received > 0) {
            answer.append(buffer, static_cast<size_t>(received));
            if (answer.find(ANSWER_END) != std::string::npos) return answer;
        } else if (received == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            break;
        }
    }
    return std::string();
}

}  // namespace

std::string KHTTPTunnel::request(const std::string& host, uint16_t port,
                                 const std::string& authorization) {
    const bool ipv6 = host.find(':') != std::string::npos;
    const std::string authority =
        (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    std::string text = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (!authorization.empty()) text += "Proxy-Authorization: " + authorization + "\r\n";
    return text + "\r\n";
}

bool KHTTPTunnel::grants(const std::string& answer) {
    // "HTTP/1.0 200" or "HTTP/1.1 200": the version, a space, a 2xx status, then a space or
    // the end of the line.
    if (answer.size() < 13 || answer.compare(0, 7, "HTTP/1.") != 0 || !isDigit(answer[7]) ||
        answer[8] != ' ' || answer[9] != '2' || !isDigit(answer[10]) || !isDigit(answer[11]) ||
        (answer[12] != ' ' && answer[12] != '\r')) {
        return false;
    }
    // The far end speaks only after the client, so nothing may follow the answer block yet.
    const size_t end = answer.find(ANSWER_END);
    return end != std::string::npos && end + ANSWER_END_LENGTH == answer.size();
}

bool KHTTPTunnel::open(KTCPSocket& proxy, const std::string& host, uint16_t port,
                       Clock::time_point deadline, const std::string& authorization) {
    if (host.empty() || !KTCPSocket::sendAll(proxy, request(host, port, authorization), deadline)) {
        KTrace::event("CONNECT: sending to the proxy failed");
        return false;
    }
    const std::string answer = readAnswer(proxy, deadline);
    const bool granted = grants(answer);
    if (KTrace::enabled()) {
        KTrace::event("CONNECT %s port %u: the proxy answered \"%s\", tunnel %s", host.c_str(),
                      static_cast<unsigned>(port),
                      KTrace::printable(answer.substr(0, answer.find_first_of("\r\n")), 200).c_str(),
                      granted ? "open" : "refused");
    }
    return granted;
}
