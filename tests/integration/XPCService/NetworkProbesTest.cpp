// Wake-on-LAN and the ICMP echo probe on real sockets inside the sandbox.
#include "NetworkSandboxMain.h"

#include "SendEchoAndRecvReply.h"
#include "SendMagicPacket.h"
#include "UniqueFd.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <vector>

using namespace std::chrono_literals;

namespace {

// A receiver on UDP port 9 of every address, broadcasts included.
class WakeOnLanReceiver {
public:
    WakeOnLanReceiver()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(9);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        const int on = 1;
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        bound_ = ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    bool bound() const { return bound_; }
    // The next datagram within a second, or none.
    std::optional<std::vector<uint8_t>> receive()
    {
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, 1000) != 1)
            return std::nullopt;
        std::vector<uint8_t> bytes(2000);
        const ssize_t n = ::recv(fd_.get(), bytes.data(), bytes.size(), 0);
        if (n < 0)
            return std::nullopt;
        bytes.resize(static_cast<std::size_t>(n));
        return bytes;
    }

private:
    UniqueFd fd_{::socket(AF_INET, SOCK_DGRAM, 0)};
    bool bound_ = false;
};

TEST(WakeOnLan, EveryDestinationGetsExactlyTheMagicPacket)
{
    WakeOnLanReceiver receiver;
    ASSERT_TRUE(receiver.bound());
    const std::optional<std::string> destinations[] = {
        std::nullopt,                // the limited broadcast, out through the veth and looped back
        std::string(""),             // unreadable: the limited broadcast too
        std::string("not an address"),
        std::string("127.0.0.1"),
        std::string("198.51.100.255"),  // the test subnet's directed broadcast
        std::string(300, '1'),          // beyond the accepted length: the limited broadcast
    };
    const MagicPacket expected = buildMagicPacket(std::string("00:1B:2C:3D:4E:5F"), std::string("pw"));
    for (const auto& destination : destinations) {
        const std::string what = destination.value_or("(absent)").substr(0, 20);
        ASSERT_EQ(SendMagicPacket(destination, std::string("00:1B:2C:3D:4E:5F"), std::string("pw")), 0) << what;
        const auto got = receiver.receive();
        ASSERT_TRUE(got) << what;
        EXPECT_EQ(got->size(), 108u) << what;
        EXPECT_TRUE(std::equal(got->begin(), got->end(), expected.begin())) << what;
    }
}

TEST(WakeOnLan, AMalformedMacStillSendsAPacketOfZeroCopies)
{
    WakeOnLanReceiver receiver;
    ASSERT_TRUE(receiver.bound());
    ASSERT_EQ(SendMagicPacket(std::string("127.0.0.1"), std::string("00-1B-2C-3D-4E-5F"), std::nullopt), 0);
    const auto got = receiver.receive();
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size(), 108u);
    EXPECT_TRUE(std::all_of(got->begin(), got->begin() + 6, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(std::all_of(got->begin() + 6, got->end(), [](uint8_t b) { return b == 0; }));
}

std::chrono::milliseconds timed(const std::function<void()>& f)
{
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

TEST(EchoProbe, LoopbackAnswersWellBeforeTheTimeOut)
{
    bool answered = false;
    const auto elapsed = timed([&] { answered = sendEchoAndRecvReply("127.0.0.1", 2000); });
    EXPECT_TRUE(answered);
    EXPECT_LT(elapsed, 500ms);
}

TEST(EchoProbe, AnAbsentHostGivesFalseAfterTheTimeOut)
{
    // Behind the sandbox's router, which drops it without a word.
    bool answered = true;
    const auto elapsed = timed([&] { answered = sendEchoAndRecvReply("192.0.2.77", 300); });
    EXPECT_FALSE(answered);
    EXPECT_GE(elapsed, 290ms);
    EXPECT_LT(elapsed, 2000ms);
}

TEST(EchoProbe, AnAbsentHostOnTheLocalNetworkGivesFalseNoLaterThanTheTimeOut)
{
    // Once neighbour discovery has failed for it, the kernel reports the
    // host unreachable at once; before that the time-out ends the wait.
    for (int round = 0; round < 2; ++round) {
        bool answered = true;
        const auto elapsed = timed([&] { answered = sendEchoAndRecvReply("198.51.100.77", 300); });
        EXPECT_FALSE(answered) << round;
        EXPECT_LT(elapsed, 2000ms) << round;
    }
}

TEST(EchoProbe, NoAddressOrNoTimeLeftAnswersFalseAtOnce)
{
    const std::tuple<const char*, const char*, int64_t> cases[] = {
        {"null address", nullptr, 5000},
        {"empty address", "", 5000},
        {"negative time-out", "198.51.100.77", -1},
        {"most negative time-out", "198.51.100.77", INT64_MIN},
        {"zero time-out", "198.51.100.77", 0},
    };
    for (const auto& [what, address, timeout] : cases) {
        bool answered = true;
        const auto elapsed = timed([&, a = address, t = timeout] { answered = sendEchoAndRecvReply(a, t); });
        EXPECT_FALSE(answered) << what;
        EXPECT_LT(elapsed, 100ms) << what;
    }
}

TEST(EchoProbe, AZeroTimeOutToLoopbackReturnsAtOnce)
{
    // True only when the reply is already queued; either way, no wait.
    const auto elapsed = timed([] { (void)sendEchoAndRecvReply("127.0.0.1", 0); });
    EXPECT_LT(elapsed, 100ms);
}

TEST(EchoProbe, AnUnreadableAddressCostsTheTimeOut)
{
    // inet_addr answers the limited broadcast, which the ICMP socket refuses
    // to send to; a failed send sleeps the time-out.
    bool answered = true;
    const auto elapsed = timed([&] { answered = sendEchoAndRecvReply("printer.local", 200); });
    EXPECT_FALSE(answered);
    EXPECT_GE(elapsed, 190ms);
    EXPECT_LT(elapsed, 2000ms);
}

TEST(EchoProbe, AnAddressInThisNetworkCostsTheTimeOutAndAnswersFalse)
{
    // The kernel takes 0.0.0.0 for this host, which would answer; no printer
    // lives anywhere in 0.0.0.0/8.
    for (const char* address : {"0.0.0.0", "0.1.2.3", "0"}) {
        bool answered = true;
        const auto elapsed = timed([&] { answered = sendEchoAndRecvReply(address, 200); });
        EXPECT_FALSE(answered) << address;
        EXPECT_GE(elapsed, 190ms) << address;
        EXPECT_LT(elapsed, 2000ms) << address;
    }
}

TEST(EchoProbe, ARefusedSocketCostsTheTimeOutAndAnswersFalse)
{
    // The sandbox's own namespace: closing the group range makes the kernel
    // refuse the ICMP datagram socket with EACCES, as Debian's default does.
    const char* path = "/proc/sys/net/ipv4/ping_group_range";
    std::string saved(64, '\0');
    FILE* f = std::fopen(path, "r");
    ASSERT_NE(f, nullptr);
    saved.resize(std::fread(saved.data(), 1, saved.size(), f));
    std::fclose(f);
    const auto write = [path](const std::string& text) {
        FILE* w = std::fopen(path, "w");
        if (w == nullptr)
            return false;
        const bool ok = std::fwrite(text.data(), 1, text.size(), w) == text.size();
        return std::fclose(w) == 0 && ok;
    };
    ASSERT_TRUE(write("1 0"));
    bool answered = true;
    const auto elapsed = timed([&] { answered = sendEchoAndRecvReply("127.0.0.1", 200); });
    const auto again = timed([&] { (void)sendEchoAndRecvReply("127.0.0.1", 50); });  // warns once only
    EXPECT_TRUE(write(saved));
    EXPECT_FALSE(answered);
    EXPECT_GE(elapsed, 190ms);
    EXPECT_LT(elapsed, 2000ms);
    EXPECT_GE(again, 45ms);
    EXPECT_TRUE(sendEchoAndRecvReply("127.0.0.1", 2000));
}

// The sandbox's own link-local IPv6 address on ph0, without its scope.
std::optional<std::string> linkLocalOfPh0()
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return std::nullopt;
    std::optional<std::string> found;
    for (const ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET6 || std::string(i->ifa_name) != "ph0")
            continue;
        const auto* a = reinterpret_cast<const sockaddr_in6*>(i->ifa_addr);
        if (!IN6_IS_ADDR_LINKLOCAL(&a->sin6_addr))
            continue;
        char text[INET6_ADDRSTRLEN];
        if (::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text) != nullptr)
            found = text;
    }
    ::freeifaddrs(list);
    return found;
}

TEST(EchoProbe, AnUnreachableRouteAnswersFalseWellBeforeTheTimeOut)
{
    // The sandbox's router answers ICMP "unreachable" for 203.0.113.0/24.
    bool answered = true;
    const auto elapsed = timed([&] { answered = sendEchoAndRecvReply("203.0.113.9", 3000); });
    EXPECT_FALSE(answered);
    EXPECT_LT(elapsed, 1000ms);
}

TEST(EchoProbe, IPv6LoopbackAndTheOwnLinkLocalAddressWithItsScopeAnswer)
{
    const auto linkLocal = linkLocalOfPh0();
    ASSERT_TRUE(linkLocal.has_value());
    const std::string byIndex = *linkLocal + "%" + std::to_string(::if_nametoindex("ph0"));
    for (const std::string& address : {std::string("::1"), *linkLocal + "%ph0", byIndex}) {
        bool answered = false;
        const auto elapsed = timed([&] { answered = sendEchoAndRecvReply(address.c_str(), 2000); });
        EXPECT_TRUE(answered) << address;
        EXPECT_LT(elapsed, 1000ms) << address;
    }
}

TEST(EchoProbe, AnIPv6AddressThatDoesNotAnswerGivesFalseAfterTheTimeOut)
{
    // A link-local address nobody holds (neighbour discovery goes
    // unanswered), one with no route at all (the send fails), and the
    // all-nodes group and the unspecified address, where only this host would
    // answer: all cost the time-out.
    for (const char* address : {"fe80::dead:beef%ph0", "2001:db8::9", "ff02::1%ph0", "::"}) {
        bool answered = true;
        const auto elapsed = timed([&] { answered = sendEchoAndRecvReply(address, 300); });
        EXPECT_FALSE(answered) << address;
        EXPECT_GE(elapsed, 290ms) << address;
        EXPECT_LT(elapsed, 2000ms) << address;
    }
}

}  // namespace

PH_SANDBOX_MAIN()
