#include "SendEchoAndRecvReply.h"

#include "UniqueFd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReceiveBufferSize = 2000;
constexpr uint8_t kIcmpEchoReply = 0;
constexpr uint8_t kIcmpEchoRequest = 8;

// Failures cost the time-out, as a lost reply does.
void sleepTimeout(int64_t timeoutMsec)
{
    if (timeoutMsec > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMsec));
}

// The kernel answers EACCES when the process's group lies outside
// net.ipv4.ping_group_range (Debian's default "1 0" admits nobody). The probe
// then can never succeed; say why once, instead of failing silently forever.
void reportPingGroupRangeOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        syslog(LOG_WARNING,
               "ICMP echo probe: the ICMP datagram socket was refused (EACCES): the service's group is outside "
               "net.ipv4.ping_group_range; widen it with sysctl to let echo probes work");
    });
}

// Waits until fd is readable or the deadline passes; EINTR does not shorten
// the wait. A deadline already past polls once without blocking.
bool waitReadable(int fd, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int slice = static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
        pollfd p{fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, slice);
        if (rc > 0)
            return (p.revents & (POLLIN | POLLERR)) != 0;
        if (rc < 0 && errno != EINTR)
            return false;
        if (rc == 0 && Clock::now() >= deadline)
            return false;
    }
}

}  // namespace

uint16_t icmpChecksum(const void* bytes, int length)
{
    const auto* p = static_cast<const uint8_t*>(bytes);
    uint64_t sum = 0;
    while (length >= 2) {
        uint16_t word;
        std::memcpy(&word, p, sizeof word);
        sum += word;
        p += 2;
        length -= 2;
    }
    if (length == 1)
        sum += *p;
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum += sum >> 16;
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

std::array<uint8_t, kEchoRequestSize> buildEchoRequest()
{
    std::array<uint8_t, kEchoRequestSize> request{};
    request[0] = kIcmpEchoRequest;
    const uint16_t checksum = icmpChecksum(request.data(), static_cast<int>(request.size()));
    std::memcpy(&request[2], &checksum, sizeof checksum);
    return request;
}

bool sendEchoAndRecvReply(const char* sIpAddr, int64_t timeoutMsec)
{
    if (sIpAddr == nullptr || *sIpAddr == '\0')
        return false;

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::inet_addr(sIpAddr);

    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM, IPPROTO_ICMP));
    if (!fd) {
        if (errno == EACCES)
            reportPingGroupRangeOnce();
        sleepTimeout(timeoutMsec);
        return false;
    }

    const auto request = buildEchoRequest();
    const ssize_t sent = ::sendto(fd.get(), request.data(), request.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (sent < 1) {
        sleepTimeout(timeoutMsec);
        return false;
    }

    // A negative time-out is a wait that cannot be made.
    if (timeoutMsec < 0)
        return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::min<int64_t>(timeoutMsec, INT64_MAX / 2000000));
    if (!waitReadable(fd.get(), deadline))
        return false;

    // Linux's ICMP datagram socket hands over the ICMP message without the
    // IPv4 header and owns the identifier: the type is the first byte, and the
    // first datagram decides, whoever sent it.
    uint8_t buffer[kReceiveBufferSize];
    const ssize_t got = ::recv(fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    return got >= 1 && buffer[0] == kIcmpEchoReply;
}
