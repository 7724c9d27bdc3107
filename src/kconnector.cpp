#include "kconnector.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "ktrace.h"

namespace {

using Clock = KConnector::Clock;

// A name lookup that the C library runs on a helper thread. That thread writes into the
// request until it is done, so the object must stay in place until then.
struct PendingLookup {
    std::string name;
    addrinfo hints;
    gaicb request;
    PendingLookup* next = nullptr;
};

// Lookups given up at their deadline while the C library was still working on them. Their
// memory must outlive that work, and the process ends soon after, so they are kept for good.
PendingLookup* g_abandonedLookups = nullptr;

addrinfo streamHints(int flags) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = flags;
    return hints;
}

// Milliseconds left until deadline, rounded up so that a wait never ends early; 0 once passed.
int millisecondsUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto rounded = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return rounded > 0x7fffffff ? 0x7fffffff : static_cast<int>(rounded);
}

// Address literals need no lookup and are answered at once.
addrinfo* lookupNumeric(const std::string& host) {
    const addrinfo hints = streamHints(AI_NUMERICHOST);
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return nullptr;
    return found;
}

void abandon(std::unique_ptr<PendingLookup> lookup) {
    const int cancelled = gai_cancel(&lookup->request);
    if (cancelled == EAI_CANCELED) return;
    if (cancelled == EAI_ALLDONE) {
        if (lookup->request.ar_result != nullptr) freeaddrinfo(lookup->request.ar_result);
        return;
    }
    lookup->next = g_abandonedLookups;
    g_abandonedLookups = lookup.release();
}

// The C library's lookup waits for name servers with time-outs of its own (5 s per server and
// try by default), so it runs on the library's helper thread and is given up at the deadline.
addrinfo* lookupName(const std::string& host, Clock::time_point deadline) {
    std::unique_ptr<PendingLookup> lookup(new PendingLookup);
    lookup->name = host;
    lookup->hints = streamHints(0);
    std::memset(&lookup->request, 0, sizeof lookup->request);
    lookup->request.ar_name = lookup->name.c_str();
    lookup->request.ar_request = &lookup->hints;
    gaicb* list[1] = {&lookup->request};
    if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) return nullptr;
    while (gai_error(&lookup->request) == EAI_INPROGRESS) {
        const int left = millisecondsUntil(deadline);
        if (left == 0) {
            KTrace::event("looking up %s: given up at the connect bound", host.c_str());
            abandon(std::move(lookup));
            return nullptr;
        }
        const timespec wait = {left / 1000, static_cast<long>(left % 1000) * 1000000L};
        gai_suspend(list, 1, &wait);
    }
    addrinfo* found = lookup->request.ar_result;
    const int error = gai_error(&lookup->request);
    if (error == 0) return found;
    KTrace::event("looking up %s: %s", host.c_str(), gai_strerror(error));
    if (found != nullptr) freeaddrinfo(found);
    return nullptr;
}

void appendWithPort(const addrinfo* found, uint16_t port, KConnector::AddressList& out) {
    for (; found != nullptr && out.count < KConnector::MAX_ADDRESSES; found = found->ai_next) {
        const bool v4 = found->ai_family == AF_INET && found->ai_addrlen == sizeof(sockaddr_in);
        const bool v6 = found->ai_family == AF_INET6 && found->ai_addrlen == sizeof(sockaddr_in6);
        if (!v4 && !v6) continue;
        KConnector::Address& address = out.items[out.count++];
        std::memcpy(&address.socket, found->ai_addr, found->ai_addrlen);
        address.length = found->ai_addrlen;
        if (v4) {
            address.socket.v4.sin_port = htons(port);
        } else {
            address.socket.v6.sin6_port = htons(port);
        }
    }
}

// "192.0.2.1 port 80" or "2001:db8::1 port 80", for the trace.
std::string addressText(const KConnector::Address& address) {
    char text[INET6_ADDRSTRLEN] = "?";
    const bool v4 = address.socket.any.sa_family == AF_INET;
    const void* bytes = v4 ? static_cast<const void*>(&address.socket.v4.sin_addr)
                           : static_cast<const void*>(&address.socket.v6.sin6_addr);
    (void)inet_ntop(address.socket.any.sa_family, bytes, text, sizeof text);
    const unsigned port = ntohs(v4 ? address.socket.v4.sin_port : address.socket.v6.sin6_port);
    return std::string(text) + " port " + std::to_string(port);
}

void traceAddresses(const std::string& host, const KConnector::AddressList& addresses) {
    if (!KTrace::enabled()) return;
    if (addresses.count == 0) {
        KTrace::event("%s: no address", host.c_str());
        return;
    }
    std::string list;
    for (size_t i = 0; i < addresses.count; ++i) {
        if (i > 0) list += ", ";
        list += addressText(addresses.items[i]);
    }
    KTrace::event("%s: %zu address%s, tried in this order: %s", host.c_str(), addresses.count,
                  addresses.count == 1 ? "" : "es", list.c_str());
}

void traceAttempt(const char* what, const KConnector::Address& address, int error) {
    if (!KTrace::enabled()) return;
    KTrace::event("%s %s%s%s", what, addressText(address).c_str(), error != 0 ? ": " : "",
                  error != 0 ? std::strerror(error) : "");
}

}  // namespace

KConnector::~KConnector() {
    for (size_t i = 0; i < m_inFlight; ++i) ::close(m_attempts[i].fd);
}

int KConnector::connect(const std::string& host, uint16_t port, Clock::time_point deadline) {
    return connect(resolve(host, port, deadline), deadline);
}

int KConnector::connect(const AddressList& addresses, Clock::time_point deadline) {
    size_t next = 0;
    Clock::time_point nextStart = Clock::now();
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            KTrace::event("connect bound passed with %zu of %zu addresses tried", next,
                          addresses.count);
            return -1;
        }
        const bool canStart = next < addresses.count && m_inFlight < MAX_IN_FLIGHT;
        if (canStart && (now >= nextStart || m_inFlight == 0)) {
            const size_t inFlight = m_inFlight;
            const int connected = startAttempt(addresses.items[next++]);
            if (connected >= 0) return connected;
            // An attempt that failed at once does not hold up the next one.
            nextStart = m_inFlight > inFlight ? now + ATTEMPT_DELAY : now;
            continue;
        }
        if (m_inFlight == 0) {
            KTrace::event(addresses.count == 0 ? "no address to connect to"
                                               : "no connection: every address failed");
            return -1;
        }
        const Clock::time_point until = canStart && nextStart < deadline ? nextStart : deadline;
        bool failed = false;
        const int winner = collectWinner(until, failed);
        if (winner >= 0) return winner;
        if (failed) nextStart = Clock::now();
    }
}

KConnector::AddressList KConnector::resolve(const std::string& host, uint16_t port,
                                            Clock::time_point deadline) {
    AddressList addresses;
    if (host.empty()) return addresses;
    addrinfo* found = lookupNumeric(host);
    if (found == nullptr) found = lookupName(host, deadline);
    if (found == nullptr) return addresses;
    appendWithPort(found, port, addresses);
    freeaddrinfo(found);
    addresses = interleave(addresses);
    traceAddresses(host, addresses);
    return addresses;
}

KConnector::AddressList KConnector::interleave(const AddressList& addresses) {
    AddressList ordered;
    if (addresses.count == 0) return ordered;
    const sa_family_t firstFamily = addresses.items[0].socket.any.sa_family;
    // Where the search for the next address of each side goes on: 0 the first family, 1 the other.
    size_t cursor[2] = {0, 0};
    size_t side = 0;
    while (ordered.count < addresses.count) {
        size_t& i = cursor[side];
        while (i < addresses.count &&
               (addresses.items[i].socket.any.sa_family == firstFamily) != (side == 0)) {
            ++i;
        }
        if (i < addresses.count) ordered.items[ordered.count++] = addresses.items[i++];
        side ^= 1U;
    }
    return ordered;
}

// Starts a non-blocking handshake. Answers the descriptor when it completed at once; otherwise
// -1, with the descriptor kept among the attempts in flight unless the attempt failed at once.
int KConnector::startAttempt(const Address& address) {
    const int fd = ::socket(address.socket.any.sa_family,
                            SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        traceAttempt("no socket for", address, errno);
        return -1;
    }
    traceAttempt("connecting to", address, 0);
    if (::connect(fd, &address.socket.any, address.length) == 0) {
        traceAttempt("connected to", address, 0);
        return fd;
    }
    // Interrupted, a non-blocking handshake goes on by itself.
    if (errno == EINPROGRESS || errno == EINTR) {
        m_targets[m_inFlight] = &address;
        m_attempts[m_inFlight++] = pollfd{fd, POLLOUT, 0};
    } else {
        traceAttempt("connection failed to", address, errno);
        ::close(fd);
    }
    return -1;
}

// Waits until an attempt completes or the time comes to start another. Answers the connected
// descriptor, or -1; failed attempts are closed and reported through failed.
int KConnector::collectWinner(Clock::time_point until, bool& failed) {
    if (::poll(m_attempts, m_inFlight, millisecondsUntil(until)) <= 0) return -1;
    for (size_t i = m_inFlight; i-- > 0;) {
        if (m_attempts[i].revents == 0) continue;
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(m_attempts[i].fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
        if (error == 0) {
            traceAttempt("connected to", *m_targets[i], 0);
            return release(i);
        }
        traceAttempt("connection failed to", *m_targets[i], error);
        ::close(release(i));
        failed = true;
    }
    return -1;
}

// Takes an attempt out of the set; the caller owns its descriptor from then on.
int KConnector::release(size_t index) {
    const int fd = m_attempts[index].fd;
    --m_inFlight;
    m_attempts[index] = m_attempts[m_inFlight];
    m_targets[index] = m_targets[m_inFlight];
    return fd;
}
