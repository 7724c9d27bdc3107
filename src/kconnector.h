#ifndef KCONNECTOR_H
#define KCONNECTOR_H

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstddef>
#include <string>

// Opens one TCP connection to a host, within one deadline that covers name resolution too.
//
// All addresses of the host are resolved at once in the C library's order of preference, then
// ordered to alternate between IPv6 and IPv4, beginning with the family the C library put
// first. Attempts start one after another: the next starts ATTEMPT_DELAY after the previous one
// began, or at once when every attempt started so far has failed, without waiting for a slow
// attempt to give up. The first handshake to complete wins; all other attempts are closed. This
// way a name with a dead address, or a network whose IPv6 path silently drops packets, costs a
// fraction of a second instead of the whole bound.
//
// One object serves one connect call; it owns the attempts in flight until it is destroyed.
class KConnector {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds ATTEMPT_DELAY{250};
    // More addresses than these could not all be tried within a connect bound anyway.
    static constexpr size_t MAX_ADDRESSES = 32;
    // Attempts in flight at once; pacing keeps a 5 s bound below this.
    static constexpr size_t MAX_IN_FLIGHT = 24;

    struct Address {
        union {
            sockaddr any;
            sockaddr_in v4;
            sockaddr_in6 v6;
        } socket;
        socklen_t length;
    };
    struct AddressList {
        Address items[MAX_ADDRESSES];
        size_t count = 0;
    };

    KConnector() = default;
    ~KConnector();
    KConnector(const KConnector&) = delete;
    KConnector& operator=(const KConnector&) = delete;

    // host is a name or an address literal (IPv6 without brackets). Answers the connected,
    // non-blocking descriptor, which the caller then owns, or -1 when no attempt succeeded
    // before the deadline.
    int connect(const std::string& host, uint16_t port, Clock::time_point deadline);
    // The same for addresses already known, attempted in the given order.
    int connect(const AddressList& addresses, Clock::time_point deadline);

    // Internal: the addresses of host with the port set, in the order attempts are made; none
    // when the name does not resolve before the deadline.
    static AddressList resolve(const std::string& host, uint16_t port, Clock::time_point deadline);
    // Internal: the same addresses, alternating families from the family of the first one.
    static AddressList interleave(const AddressList& addresses);

private:
    int startAttempt(const Address& address);
    int collectWinner(Clock::time_point until, bool& failed);
    int release(size_t index);

    pollfd m_attempts[MAX_IN_FLIGHT] = {};  // handshakes in flight
    const Address* m_targets[MAX_IN_FLIGHT] = {};  // the address of each, for the trace
    size_t m_inFlight = 0;
};

#endif
