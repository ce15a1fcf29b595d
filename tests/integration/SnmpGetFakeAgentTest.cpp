// PdeSnmpGet against a small fake agent on 127.0.0.2:161, for what a real
// agent never does: late, cut and malformed answers, odd octets, and many
// overlapping calls.
#include "NetworkSandboxMain.h"

#include "SNMPMessage.h"
#include "UniqueFd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr const char* kFakeHost = "127.0.0.2";

// A GetResponse with community "public" and one binding: oid bytes, value
// bytes (tag, length, content) as given.
std::vector<uint8_t> answerWith(const std::vector<uint8_t>& oid, const std::vector<uint8_t>& value)
{
    std::vector<uint8_t> varbind(4 + oid.size() + value.size());
    varbind[0] = 0x30;
    varbind[1] = static_cast<uint8_t>(varbind.size() - 2);
    varbind[2] = 0x06;
    varbind[3] = static_cast<uint8_t>(oid.size());
    std::copy(oid.begin(), oid.end(), varbind.begin() + 4);
    std::copy(value.begin(), value.end(), varbind.begin() + 4 + static_cast<std::ptrdiff_t>(oid.size()));
    std::vector<uint8_t> msg{0x30, 0, 0x02, 0x01, 0x00, 0x04, 0x06, 'p', 'u', 'b', 'l', 'i', 'c', 0xA2,
                             static_cast<uint8_t>(varbind.size() + 12), 0x02, 0x02, 0x12, 0x34, 0x02, 0x01, 0x00,
                             0x02, 0x01, 0x00, 0x30, static_cast<uint8_t>(varbind.size())};
    const std::size_t head = msg.size();
    msg.resize(head + varbind.size());
    std::copy(varbind.begin(), varbind.end(), msg.begin() + static_cast<std::ptrdiff_t>(head));
    msg[1] = static_cast<uint8_t>(msg.size() - 2);
    return msg;
}

std::vector<uint8_t> octets(uint8_t tag, const std::string& content)
{
    std::vector<uint8_t> v(content.size() + 2);
    v[0] = tag;
    v[1] = static_cast<uint8_t>(content.size());
    std::copy(content.begin(), content.end(), v.begin() + 2);
    return v;
}

const std::vector<uint8_t> kOid{0x2B, 6, 1, 2, 1, 1, 1, 0};

// Answers each request with what reply() gives (nothing: stays silent),
// after delay. Runs until destroyed; the destructor joins its thread.
class FakeAgent {
public:
    using Reply = std::function<std::optional<std::vector<uint8_t>>(const std::vector<uint8_t>& request)>;

    FakeAgent(Reply reply, std::chrono::milliseconds delay = 0ms) : reply_(std::move(reply)), delay_(delay)
    {
        fd_.reset(::socket(AF_INET, SOCK_DGRAM, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(161);
        a.sin_addr.s_addr = ::inet_addr(kFakeHost);
        const int on = 1;
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        bound_ = ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeAgent()
    {
        stop_ = true;
        thread_.join();
    }
    bool bound() const { return bound_; }
    int requests() const { return requests_; }

private:
    void serve()
    {
        while (!stop_) {
            pollfd p{fd_.get(), POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0)
                continue;
            std::vector<uint8_t> request(2000);
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(fd_.get(), request.data(), request.size(), 0,
                                         reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n <= 0)
                continue;
            request.resize(static_cast<std::size_t>(n));
            ++requests_;
            const auto answer = reply_(request);
            if (!answer)
                continue;
            std::this_thread::sleep_for(delay_);
            ::sendto(fd_.get(), answer->data(), answer->size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
        }
    }

    Reply reply_;
    std::chrono::milliseconds delay_;
    UniqueFd fd_;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

FakeAgent::Reply always(std::vector<uint8_t> bytes)
{
    return [bytes](const std::vector<uint8_t>&) { return std::optional<std::vector<uint8_t>>(bytes); };
}

class SnmpGetAgainstFakeAgent : public ::testing::Test {
protected:
    void SetUp() override
    {
        gSnmpTimeout = 500;
        gCancelFlag = 0;
    }
    void TearDown() override { gCancelFlag = 0; }
};

struct FakeCase {
    const char* name;
    std::vector<uint8_t> answer;
    int32_t iType;
    int32_t rtnCharFlag;
    int32_t status;
    uint8_t type;
    std::optional<int32_t> integer;
    std::string text;
};

class SnmpGetCraftedAnswers : public ::testing::TestWithParam<FakeCase> {
protected:
    void SetUp() override
    {
        gSnmpTimeout = 500;
        gCancelFlag = 0;
    }
};

TEST_P(SnmpGetCraftedAnswers, DecodeAsFarAsTheBytesAllow)
{
    const FakeCase& c = GetParam();
    FakeAgent agent(always(c.answer));
    ASSERT_TRUE(agent.bound());
    const SnmpGetOutcome out = snmpGet(kFakeHost, "public", "1.3.6.1.2.1.1.1.0", c.iType, c.rtnCharFlag);
    EXPECT_EQ(out.status, c.status);
    EXPECT_EQ(out.type, c.type);
    if (c.integer)
        EXPECT_EQ(out.result.integer(), *c.integer);
    else
        EXPECT_EQ(out.result.string(), c.text);
    EXPECT_EQ(out.result.bytes.back(), 0);
    EXPECT_LT(out.elapsed, 400ms);
}

// A 300-byte OCTET STRING (04 82 01 2C, then 150 times "é"). The parser reads
// the 0x82 as 130 content bytes; 01 among them makes it render hex, 389
// characters, which the worker cuts to the 255 that the result area holds.
std::vector<uint8_t> threeHundredByteString()
{
    std::vector<uint8_t> value{0x04, 0x82, 0x01, 0x2C};
    for (int i = 0; i < 150; ++i)
        value.insert(value.end(), {0xC3, 0xA9});
    return value;
}

std::string hexOfFirst130Bytes()
{
    const std::vector<uint8_t> v = threeHundredByteString();
    std::string s;
    char b[4];
    for (std::size_t i = 2; i < 132; ++i) {
        std::snprintf(b, sizeof b, "%02X", v[i]);
        s += b;
        if (i < 131)
            s += '-';
    }
    return s.substr(0, 255);
}

std::vector<uint8_t> cut(std::vector<uint8_t> bytes, std::size_t n)
{
    bytes.resize(n);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SnmpGetCraftedAnswers,
    ::testing::Values(
        FakeCase{"IntegerZero", answerWith(kOid, {0x02, 0x01, 0x00}), 0, 0, 0, 2, 0, ""},
        FakeCase{"IntegerMaxInFiveBytes", answerWith(kOid, {0x02, 0x05, 0x00, 0x7F, 0xFF, 0xFF, 0xFF}), 0, 0, 0, 2,
                 2147483647, ""},
        FakeCase{"IntegerEmpty", answerWith(kOid, {0x02, 0x00, 0x05, 0x00}), 0, 0, 0, 2, 0, ""},
        FakeCase{"NotUtf8Octets", answerWith(kOid, octets(0x04, "\xC3\x28")), 0, 0, 0, 4, std::nullopt, "    c328"},
        FakeCase{"ControlOctets", answerWith(kOid, octets(0x04, std::string("\x00\x01\xFF", 3))), 0, 0, 0, 4,
                 std::nullopt, "00-01-FF"},
        FakeCase{"LongText", answerWith(kOid, octets(0x04, std::string(127, 'x') + "")), 0, 0, 0, 4, std::nullopt,
                 std::string(127, 'x')},
        FakeCase{"TextWithHexOver255", answerWith(kOid, octets(0x04, std::string(120, '\x01'))), 0, 0, 0, 4,
                 std::nullopt, [] { std::string s; for (int i = 0; i < 120; ++i) s += i < 119 ? "01-" : "01"; return s.substr(0, 255); }()},
        FakeCase{"ThreeHundredByteString", answerWith(kOid, threeHundredByteString()), 0, 0, 0, 4, std::nullopt,
                 hexOfFirst130Bytes()},
        FakeCase{"CutString", cut(answerWith(kOid, octets(0x04, "abcdef")), 42), 0, 0, 0, 4, std::nullopt, ""},
        FakeCase{"CutInteger", cut(answerWith(kOid, {0x02, 0x04, 1, 2, 3, 4}), 42), 0, 0, 0, 2, 0, ""},
        FakeCase{"CutAfterTheValueTag", cut(answerWith(kOid, {0x02, 0x01, 7}), 40), 0, 0, -30896, 5, std::nullopt, ""},
        FakeCase{"NoBindingAtAll", {0x30, 0x03, 0x02, 0x01, 0x00}, 0, 0, -30896, 5, std::nullopt, ""},
        FakeCase{"OneByte", {0x30}, 4, 0, 0, 4, std::nullopt, ""},
        FakeCase{"UnknownTag", answerWith(kOid, octets(0x80, "zz")), 0, 0, -30896, 5, std::nullopt, ""}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(SnmpGetAgainstFakeAgent, ALateButTimelyAnswerIsTakenWhenItArrives)
{
    FakeAgent agent(always(answerWith(kOid, {0x02, 0x01, 42})), 150ms);
    const SnmpGetOutcome out = snmpGet(kFakeHost, "public", "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.result.integer(), 42);
    EXPECT_GE(out.elapsed, 140ms);
    EXPECT_LT(out.elapsed, 450ms);
}

TEST_F(SnmpGetAgainstFakeAgent, AnAnswerAfterTheTimeOutIsNotTaken)
{
    gSnmpTimeout = 100;
    FakeAgent agent(always(answerWith(kOid, {0x02, 0x01, 42})), 300ms);
    const SnmpGetOutcome out = snmpGet(kFakeHost, "public", "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(out.status, -9780);
    EXPECT_GE(out.elapsed, 90ms);
    EXPECT_LT(out.elapsed, 290ms);
}

TEST_F(SnmpGetAgainstFakeAgent, ACancelDuringTheWaitEndsItWithinThirtyMilliseconds)
{
    gSnmpTimeout = 5000;
    FakeAgent agent([](const std::vector<uint8_t>&) { return std::optional<std::vector<uint8_t>>(); });
    std::chrono::steady_clock::time_point raised;
    std::thread canceller([&] {
        std::this_thread::sleep_for(200ms);
        raised = std::chrono::steady_clock::now();
        gCancelFlag = 1;
    });
    const SnmpGetOutcome out = snmpGet(kFakeHost, "public", "1.3.6.1.2.1.1.1.0");
    const auto end = std::chrono::steady_clock::now();
    canceller.join();
    EXPECT_EQ(out.status, -1);
    EXPECT_EQ(agent.requests(), 1);
    EXPECT_LT(end - raised, 100ms);  // loose: the goal of about 30 ms is measured by the benchmark
    EXPECT_LT(out.elapsed, 1000ms);
}

TEST_F(SnmpGetAgainstFakeAgent, ACancelRaisedBeforeTheCallSendsNothing)
{
    FakeAgent agent(always(answerWith(kOid, {0x02, 0x01, 42})));
    gCancelFlag = 1;
    const SnmpGetOutcome out = snmpGet(kFakeHost, "public", "1.3.6.1.2.1.1.1.0");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(out.status, -1);
    EXPECT_EQ(agent.requests(), 0);
}

TEST_F(SnmpGetAgainstFakeAgent, OverlappingCallsEachGetTheirOwnValueAndType)
{
    // Call i asks for ...1.i; the agent answers even arcs with INTEGER i and
    // odd ones with the text "v<i>".
    FakeAgent agent([](const std::vector<uint8_t>& request) -> std::optional<std::vector<uint8_t>> {
        uint8_t position = 0, lengthIndex = 0;
        uint64_t length = 0;
        SNMPMessage::extractOIDPositionAndLengthFromMessage(&request, position, lengthIndex, length);
        const std::size_t last = lengthIndex + length;
        if (length == 0 || last >= request.size())
            return std::nullopt;
        const uint8_t i = request[last];
        std::vector<uint8_t> oid(request.begin() + lengthIndex + 1, request.begin() + static_cast<std::ptrdiff_t>(last) + 1);
        return answerWith(oid, i % 2 == 0 ? std::vector<uint8_t>{0x02, 0x01, i} : octets(0x04, "v" + std::to_string(i)));
    });
    constexpr int kCalls = 64;
    std::vector<SnmpGetOutcome> outs(kCalls);
    std::vector<std::thread> threads;
    for (int i = 0; i < kCalls; ++i)
        threads.emplace_back([&outs, i] { outs[i] = snmpGet(kFakeHost, "public", "1.3.6.1.4.1.99." + std::to_string(i)); });
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < kCalls; ++i) {
        ASSERT_EQ(outs[i].status, 0) << i;
        if (i % 2 == 0) {
            EXPECT_EQ(outs[i].type, 2) << i;
            EXPECT_EQ(outs[i].result.integer(), i) << i;
        } else {
            EXPECT_EQ(outs[i].type, 4) << i;
            EXPECT_EQ(outs[i].result.string(), "v" + std::to_string(i)) << i;
        }
    }
}

TEST_F(SnmpGetAgainstFakeAgent, EachCallSendsExactlyOneDatagram)
{
    gSnmpTimeout = 200;
    FakeAgent agent([](const std::vector<uint8_t>&) { return std::optional<std::vector<uint8_t>>(); });
    const SnmpGetOutcome out = snmpGet(kFakeHost, "public", "1.3.6.1.2.1.1.1.0");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(out.status, -9780);
    EXPECT_EQ(agent.requests(), 1);
}

}  // namespace

PH_SANDBOX_MAIN()
