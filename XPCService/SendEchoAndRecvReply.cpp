#include "SendEchoAndRecvReply.h"

#include "UniqueFd.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

constexpr std::size_t kReceiveBufferSize = 2000;
constexpr uint8_t kIcmpEchoReply = 0;
constexpr uint8_t kIcmpEchoRequest = 8;
constexpr uint8_t kIcmp6EchoRequest = 128;
constexpr uint8_t kIcmp6EchoReply = 129;

// Failures cost the time-out, as a lost reply does.
void sleepTimeout(int64_t timeoutMsec, const CancelCheck& cancelled)
{
    if (timeoutMsec > 0)
        sleepUntil(deadlineAfter(timeoutMsec), cancelled);
}

// The kernel answers EACCES when the process's group lies outside
// net.ipv4.ping_group_range (Debian's default "1 0" admits nobody); the same
// range governs ICMPv6 datagram sockets. The probe then can never succeed;
// say why once, instead of failing silently forever.
void reportPingGroupRangeOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        syslog(LOG_WARNING,
               "ICMP echo probe: the ICMP datagram socket was refused (EACCES): the service's group is outside "
               "net.ipv4.ping_group_range; widen it with sysctl to let echo probes work");
    });
}

// Where the echo goes: a numeric IPv6 address (with a scope for link-local
// ones) when the text is one, else whatever inet_addr makes of it, as the
// IPv4 probe always did (INADDR_NONE for text it cannot read).
struct Destination {
    sockaddr_storage address{};
    socklen_t length = 0;
    bool v6 = false;
};

Destination destinationOf(const char* text)
{
    Destination d;
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (std::strchr(text, ':') != nullptr && ::getaddrinfo(text, nullptr, &hints, &found) == 0 && found != nullptr) {
        std::memcpy(&d.address, found->ai_addr, std::min<std::size_t>(found->ai_addrlen, sizeof d.address));
        d.length = found->ai_addrlen;
        d.v6 = true;
        ::freeaddrinfo(found);
        return d;
    }
    auto* v4 = reinterpret_cast<sockaddr_in*>(&d.address);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = ::inet_addr(text);
    d.length = sizeof(sockaddr_in);
    return d;
}

// No printer can answer there: 0.0.0.0/8 (which the kernel takes for this
// host), the IPv6 unspecified address, and IPv6 multicast (where this host
// answers for the group). An echo to them would report our own machine.
bool isNoPrinterAddress(const Destination& d)
{
    if (d.v6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(&d.address)->sin6_addr;
        return IN6_IS_ADDR_MULTICAST(&a) || IN6_IS_ADDR_UNSPECIFIED(&a);
    }
    const in_addr_t a = ntohl(reinterpret_cast<const sockaddr_in*>(&d.address)->sin_addr.s_addr);
    return (a >> 24) == 0;
}

// Asks the socket to queue ICMP errors for what it sent (IP_RECVERR,
// IPV6_RECVERR): without it a datagram socket never hears of an unreachable
// destination, and the probe would wait out its whole time-out.
void askForIcmpErrors(int fd, bool v6)
{
    const int on = 1;
    if (v6)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
    else
        ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
}

}  // namespace

std::array<uint8_t, 2> icmpChecksum(const void* bytes, int length)
{
    // The words are big-endian on the wire, whatever this machine's order: a
    // trailing odd byte is the high half of a word whose low half is zero.
    const auto* p = static_cast<const uint8_t*>(bytes);
    uint64_t sum = 0;
    for (; length >= 2; p += 2, length -= 2)
        sum += static_cast<uint64_t>(p[0]) << 8 | p[1];
    if (length == 1)
        sum += static_cast<uint64_t>(p[0]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    const auto checksum = static_cast<uint16_t>(~sum);
    return {static_cast<uint8_t>(checksum >> 8), static_cast<uint8_t>(checksum & 0xFF)};
}

std::array<uint8_t, kEchoRequestSize> buildEchoRequest()
{
    std::array<uint8_t, kEchoRequestSize> request{};
    request[0] = kIcmpEchoRequest;
    const auto checksum = icmpChecksum(request.data(), static_cast<int>(request.size()));
    request[2] = checksum[0];
    request[3] = checksum[1];
    return request;
}

std::array<uint8_t, kEchoRequestSize> buildEcho6Request()
{
    std::array<uint8_t, kEchoRequestSize> request{};
    request[0] = kIcmp6EchoRequest;
    return request;
}

bool sendEchoAndRecvReply(const char* sIpAddr, int64_t timeoutMsec, const CancelCheck& cancelled)
{
    if (sIpAddr == nullptr || *sIpAddr == '\0')
        return false;

    const Destination to = destinationOf(sIpAddr);
    // Refused as the kernel refuses a broadcast: a failed send.
    if (isNoPrinterAddress(to)) {
        sleepTimeout(timeoutMsec, cancelled);
        return false;
    }
    const int family = to.v6 ? AF_INET6 : AF_INET;
    const int protocol = to.v6 ? static_cast<int>(IPPROTO_ICMPV6) : static_cast<int>(IPPROTO_ICMP);
    UniqueFd fd(::socket(family, SOCK_DGRAM, protocol));
    if (!fd) {
        switch (errno) {
        case EACCES:
            // The group is outside net.ipv4.ping_group_range.
            reportPingGroupRangeOnce();
            break;
        case EAFNOSUPPORT:
            // The kernel has no IPv6 (ipv6.disable=1) or was built without
            // the address family: no echo of that family can be sent.
        case EPROTONOSUPPORT:
            // A kernel built without ICMP datagram sockets (before 3.0, or
            // without IPv6 ping sockets): only a raw socket could ping, and
            // that needs privileges this service never has.
        default:
            // Out of descriptors or memory: this call fails alone.
            break;
        }
        sleepTimeout(timeoutMsec, cancelled);
        return false;
    }
    askForIcmpErrors(fd.get(), to.v6);

    const auto request = to.v6 ? buildEcho6Request() : buildEchoRequest();
    const ssize_t sent = ::sendto(fd.get(), request.data(), request.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&to.address), to.length);
    if (sent < 1) {
        sleepTimeout(timeoutMsec, cancelled);
        return false;
    }

    // A negative time-out is a wait that cannot be made.
    if (timeoutMsec < 0)
        return false;
    const WaitResult waited = waitFor(fd.get(), POLLIN, deadlineAfter(timeoutMsec), cancelled);
    // An ICMP error for the echo (the kernel queues on a ping socket only
    // errors that quote its own identifier) ends the wait with POLLERR.
    if (waited != WaitResult::Ready)
        return false;

    // Linux's ICMP datagram socket hands over the ICMP message without the IP
    // header and owns the identifier: the type is the first byte, and the
    // first datagram decides, whoever sent it. With an error queued as well,
    // recv reports the error instead of a datagram: false.
    uint8_t buffer[kReceiveBufferSize];
    const ssize_t got = ::recv(fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    return got >= 1 && buffer[0] == (to.v6 ? kIcmp6EchoReply : kIcmpEchoReply);
}
