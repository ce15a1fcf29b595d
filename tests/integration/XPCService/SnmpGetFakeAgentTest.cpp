// PdeSnmpGet against a small fake agent on 127.0.0.2:161, for what a real
// agent never does: late, cut and malformed answers, odd octets, and many
// overlapping calls.
#include "NetworkSandboxMain.h"

#include "HexDump.h"
#include "MIBConnection.h"
#include "SNMPMessage.h"
#include "Request.h"
#include "SnmpAnswer.h"
#include "TempDir.h"
#include "UniqueFd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <optional>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr const char* kFakeHost = "127.0.0.2";

// Builds the datagrams to send for one request, given the request id the
// request carries (none when it carries none).
using Answer =
    std::function<std::vector<std::vector<uint8_t>>(int64_t requestId, const std::vector<uint8_t>& request)>;

// One answer with our request id and one binding of sysDescr.0 = value.
Answer valueAnswer(std::vector<uint8_t> value)
{
    return [value](int64_t id, const std::vector<uint8_t>&) { return std::vector<std::vector<uint8_t>>{snmpAnswer(kSysDescrOid, value, id)}; };
}

// The same answer truncated to its first n bytes: no longer valid BER, as a
// datagram cut short is not (the request id still ours).
Answer truncatedAnswer(std::vector<uint8_t> value, std::size_t n)
{
    return [value, n](int64_t id, const std::vector<uint8_t>&) {
        auto bytes = snmpAnswer(kSysDescrOid, value, id);
        bytes.resize(n);
        return std::vector<std::vector<uint8_t>>{bytes};
    };
}

// The request id as the request's bytes carry it, read by the builder's
// fixed layout (30 L 02 01 00 04 n <community> A0 L 02 k <id>, each of L and
// n in whichever BER length form; k is 2 for the builder, up to 4 for
// snmpget) rather than by the reader the worker itself uses, so that a fault
// they shared would show. -1 when the bytes do not follow the layout.
int64_t requestIdByLayout(const std::vector<uint8_t>& r)
{
    std::size_t at = 0;
    const auto expect = [&](std::initializer_list<uint8_t> bytes) {
        for (const uint8_t b : bytes)
            if (at >= r.size() || r[at++] != b)
                return false;
        return true;
    };
    // A length of one byte, or 81 n, or 82 n n.
    const auto length = [&]() -> std::optional<std::size_t> {
        if (at >= r.size())
            return std::nullopt;
        const uint8_t first = r[at++];
        if (first < 0x80)
            return first;
        const std::size_t count = first & 0x7F;
        if (count < 1 || count > 2 || r.size() - at < count)
            return std::nullopt;
        std::size_t n = 0;
        for (std::size_t i = 0; i < count; ++i)
            n = n << 8 | r[at++];
        return n;
    };
    if (!expect({0x30}) || !length() || !expect({0x02, 0x01, 0x00, 0x04}))
        return -1;
    const auto community = length();
    if (!community || r.size() - at < *community)
        return -1;
    at += *community;
    if (!expect({0xA0}) || !length() || !expect({0x02}))
        return -1;
    const auto idLength = length();
    if (!idLength || *idLength < 1 || *idLength > 8 || r.size() - at < *idLength)
        return -1;
    // Signed, big-endian as BER reads it (the builder's 34 12 is 0x3412).
    uint64_t id = (r[at] & 0x80) ? ~uint64_t{0} : 0;
    for (std::size_t i = 0; i < *idLength; ++i)
        id = id << 8 | r[at + i];
    return static_cast<int64_t>(id);
}

// Answers each request with the datagrams answer() gives (none: stays
// silent), after delay, with pause between them. Runs until destroyed; the
// destructor joins its thread.
class FakeAgent {
public:
    FakeAgent(Answer answer, std::chrono::milliseconds delay = 0ms, std::chrono::milliseconds pause = 0ms)
        : answer_(std::move(answer)), delay_(delay), pause_(pause)
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
            const int64_t id = requestIdByLayout(request);
            std::this_thread::sleep_for(delay_);
            for (const auto& datagram : answer_(id, request)) {
                ::sendto(fd_.get(), datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&from),
                         fromLength);
                std::this_thread::sleep_for(pause_);
            }
        }
    }

    Answer answer_;
    std::chrono::milliseconds delay_;
    std::chrono::milliseconds pause_;
    UniqueFd fd_;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

Answer silent()
{
    return [](int64_t, const std::vector<uint8_t>&) { return std::vector<std::vector<uint8_t>>{}; };
}

TEST(FakeAgentRequestReading, ReadsTheIdTheBuilderWritesLowByteFirstWhateverTheCommunityLength)
{
    // The builder writes 0x1234 as 34 12, which BER reads as 0x3412; and
    // 0x00F0 as F0 00, a negative INTEGER. A 200-byte community gives the
    // community and the message the long length forms 81 n and 81 n / 82 n n.
    const std::tuple<uint16_t, std::size_t, int64_t> cases[] = {
        {0x1234, 6, 0x3412}, {0x00F0, 6, -0x1000}, {0x1234, 200, 0x3412}, {0xFFFF, 255, -1}, {0x0000, 1, 0}};
    for (const auto& [id, communityLength, expected] : cases) {
        MIBConnection conn;
        ASSERT_TRUE(conn.requestGenericWithSingleResponse(std::string(communityLength, 'c'), nullptr,
                                                          std::string("1.3.6.1.2.1.1.1.0"), id));
        const auto bytes = conn.msg().data();
        ASSERT_TRUE(bytes);
        EXPECT_EQ(requestIdByLayout(*bytes), expected) << hexDump(*bytes);
    }
    EXPECT_EQ(requestIdByLayout({0x30, 0x03, 0x02, 0x01, 0x00}), -1);
    EXPECT_EQ(requestIdByLayout({}), -1);
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
    Answer answer;
    int32_t iType;
    int32_t rtnCharFlag;
    ExpectedValue expected;
};

// A table of answers, each read with the same settings.
template <typename Case>
class SnmpGetTable : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override
    {
        gSnmpTimeout = 500;
        gCancelFlag = 0;
    }
};

class SnmpGetCraftedAnswers : public SnmpGetTable<FakeCase> {};

TEST_P(SnmpGetCraftedAnswers, DecodeAsFarAsTheBytesAllow)
{
    const FakeCase& c = GetParam();
    FakeAgent agent(c.answer);
    ASSERT_TRUE(agent.bound());
    const SnmpGetOutcome out = snmpGet(kFakeHost, "public", "1.3.6.1.2.1.1.1.0", c.iType, c.rtnCharFlag);
    expectStored(c.expected, out.status, out.type, out.result);
    EXPECT_LT(out.elapsed, 400ms);
}

// 150 times "é": 300 bytes, 04 82 01 2C.
std::string threeHundredBytes()
{
    std::string s;
    for (int i = 0; i < 150; ++i)
        s += "\xC3\xA9";
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SnmpGetCraftedAnswers,
    ::testing::Values(
        FakeCase{"IntegerZero", valueAnswer({0x02, 0x01, 0x00}), 0, 0, {0, 2, 0, ""}},
        FakeCase{"IntegerMaxInFiveBytes", valueAnswer({0x02, 0x05, 0x00, 0x7F, 0xFF, 0xFF, 0xFF}), 0, 0, {0, 2,
                 2147483647, ""}},
        FakeCase{"IntegerEmpty", valueAnswer({0x02, 0x00, 0x05, 0x00}), 0, 0, {0, 2, 0, ""}},
        FakeCase{"NotUtf8Octets", valueAnswer(berOctets("\xC3\x28")), 0, 0, {0, 4, std::nullopt, "    c328"}},
        FakeCase{"ControlOctets", valueAnswer(berOctets(std::string("\x00\x01\xFF", 3))), 0, 0, {0, 4, std::nullopt,
                 "00-01-FF"}},
        FakeCase{"LongText", valueAnswer(berOctets(std::string(127, 'x'))), 0, 0, {0, 4, std::nullopt,
                 std::string(127, 'x')}},
        FakeCase{"HexFormCutAtAWholeGroup", valueAnswer(berOctets(std::string(120, '\x01'))), 0, 0, {0, 4, std::nullopt,
                 [] { std::string s; for (int i = 0; i < 85; ++i) s += i < 84 ? "01-" : "01"; return s; }()}},
        FakeCase{"ThreeHundredByteString", valueAnswer(berOctets(threeHundredBytes())), 0, 0, {0, 4, std::nullopt,
                 threeHundredBytes().substr(0, 254)}},
        // The unsigned kind no real agent here serves.
        FakeCase{"Unsigned47", valueAnswer(berUnsigned(0x47, 4000000000u)), 2, 0, {0, 4, std::nullopt, "4000000000"}},
        FakeCase{"CutString", truncatedAnswer(berOctets("abcdef"), 42), 0, 0, {0, 4, std::nullopt, ""}},
        FakeCase{"CutInteger", truncatedAnswer({0x02, 0x04, 1, 2, 3, 4}, 42), 0, 0, {0, 2, 0, ""}},
        FakeCase{"CutAfterTheValueTag", truncatedAnswer({0x02, 0x01, 7}, 40), 0, 0, {-30896, 5, std::nullopt, ""}},
        FakeCase{"UnknownTag", valueAnswer(berElement(0x80, std::string("zz"))), 0, 0, {-30896, 5, std::nullopt, ""}}),
    [](const auto& p) { return std::string(p.param.name); });

// One answer with our request id and one binding of sysDescr.0 = value, its
// lengths in the forms given.
Answer wideAnswer(std::vector<uint8_t> value, AnswerForms forms = AnswerForms())
{
    return [value, forms](int64_t id, const std::vector<uint8_t>&) {
        return std::vector<std::vector<uint8_t>>{snmpAnswer(kSysDescrOid, value, id, "public", forms)};
    };
}

// What snmpget -v1 reads from the fake agent for sysDescr.0: the value alone
// (-Oqv), OIDs numeric, time ticks as a number, without the quotes around a
// string and the last line break. It reads no configuration of this machine
// and keeps its state in a private folder. A failure shows as its messages.
std::string snmpgetReads()
{
    static const TempDir home;
    const std::string command = "SNMPCONFPATH=" + home.path() + " SNMP_PERSISTENT_DIR=" + home.path() +
                                " MIBS= snmpget -v1 -c public -r 0 -t 1 -Oqvnt " + kFakeHost +
                                " 1.3.6.1.2.1.1.1.0 2>" + (home / "stderr");
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return "(snmpget did not start)";
    std::string out;
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;)
        out.append(buf, n);
    if (::pclose(pipe) != 0)
        return "(snmpget failed: " + out + readFile(home / "stderr") + ")";
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    if (out.size() >= 2 && out.front() == '"' && out.back() == '"')
        out = out.substr(1, out.size() - 2);
    return out;
}

// One answer of an agent that writes wide lengths: what snmpget reads from
// it, and the reply the service gives for it.
struct WideCase {
    const char* name;
    Answer answer;
    std::string snmpgetReads;
    std::string reply;
};

void PrintTo(const WideCase& c, std::ostream* os) { *os << c.name; }

class SnmpGetWideLengths : public SnmpGetTable<WideCase> {};

TEST_P(SnmpGetWideLengths, AnswerWhatSnmpgetReads)
{
    const WideCase& c = GetParam();
    FakeAgent agent(c.answer);
    ASSERT_TRUE(agent.bound());
    const SnmpGetOutcome out = snmpGet(kFakeHost, "public", "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(snmpReply(out.status, out.type, out.result, StringForm::Utf8), c.reply);
    EXPECT_EQ(snmpgetReads(), c.snmpgetReads);
}

const std::string kText200(200, 't');

// 300 bytes of digits; the result area holds the first 255 of them.
std::string text300()
{
    std::string s;
    while (s.size() < 300)
        s += "0123456789";
    return s;
}

WideCase integer42With(AnswerPart part, int bytes, const char* name)
{
    return {name, wideAnswer(berInteger(42), AnswerForms().wide(part, bytes)), "42", "TRUE:uResult.integer=42"};
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SnmpGetWideLengths,
    ::testing::Values(
        WideCase{"Integer83", wideAnswer(hexBytes("02 83 00 00 01 2A")), "42", "TRUE:uResult.integer=42"},
        WideCase{"NegativeInteger84", wideAnswer(berInteger(-7, 0x02, 4)), "-7", "TRUE:uResult.integer=-7"},
        WideCase{"Text83", wideAnswer(hexBytes("04 83 00 00 05 68 65 6C 6C 6F")), "hello",
                 "TRUE:uResult.string=hello"},
        WideCase{"Text84", wideAnswer(berOctets("hello", 4)), "hello", "TRUE:uResult.string=hello"},
        WideCase{"Text200With84", wideAnswer(berOctets(kText200, 4)), kText200, "TRUE:uResult.string=" + kText200},
        WideCase{"Text300With83", wideAnswer(berOctets(text300(), 3)), text300(),
                 "TRUE:uResult.string=" + text300().substr(0, 255)},
        WideCase{"Text300With84", wideAnswer(berOctets(text300(), 4)), text300(),
                 "TRUE:uResult.string=" + text300().substr(0, 255)},
        WideCase{"IpAddress83", wideAnswer(hexBytes("40 83 00 00 04 C0 00 02 01")), "192.0.2.1",
                 "TRUE:uResult.string=192.0.2.1"},
        WideCase{"Counter83", wideAnswer(hexBytes("41 83 00 00 01 07")), "7", "TRUE:uResult.string=7"},
        WideCase{"Gauge83", wideAnswer(hexBytes("42 83 00 00 01 07")), "7", "TRUE:uResult.string=7"},
        WideCase{"TimeTicks83", wideAnswer(hexBytes("43 83 00 00 01 07")), "7", "TRUE:uResult.string=7"},
        WideCase{"Unsigned47With83", wideAnswer(hexBytes("47 83 00 00 01 07")), "7", "TRUE:uResult.string=7"},
        WideCase{"ObjectIdentifier83", wideAnswer(berElement(0x06, kSysDescrOid, 3)), ".1.3.6.1.2.1.1.1.0",
                 "TRUE:uResult.string=1.3.6.1.2.1.1.1.0"},
        integer42With(AnswerPart::Message, 3, "Message83"),
        integer42With(AnswerPart::Message, 4, "Message84"),
        integer42With(AnswerPart::Version, 4, "Version84"),
        integer42With(AnswerPart::Community, 3, "Community83"),
        integer42With(AnswerPart::Pdu, 4, "Pdu84"),
        integer42With(AnswerPart::RequestId, 3, "RequestId83"),
        integer42With(AnswerPart::RequestId, 4, "RequestId84"),
        integer42With(AnswerPart::ErrorStatus, 4, "ErrorStatus84"),
        integer42With(AnswerPart::ErrorIndex, 3, "ErrorIndex83"),
        integer42With(AnswerPart::BindingList, 4, "BindingList84"),
        integer42With(AnswerPart::Binding, 4, "Binding84"),
        integer42With(AnswerPart::Oid, 3, "BindingOid83"),
        WideCase{"EveryLength84", wideAnswer(berInteger(42, 0x02, 4), allWide(4)), "42", "TRUE:uResult.integer=42"}),
    [](const auto& p) { return std::string(p.param.name); });

// The kinds of value the differential check below draws.
enum class Kind { Integer, Text, Hex, ObjectId, IpAddress, Counter, Gauge, TimeTicks, Unsigned, Count };

struct RandomAnswer {
    Kind kind;
    std::vector<uint8_t> value;  // the whole element
    AnswerForms forms;
};

// A valid answer drawn at random: a value of one kind, and every length, the
// value's included, in the shortest form or a long form of one to four bytes.
// Texts are printable ASCII without quote or backslash (which snmpget would
// escape); hex values hold a byte that both readers show as hex.
RandomAnswer randomAnswer(std::mt19937& rng)
{
    const auto pick = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    RandomAnswer a;
    for (int& bytes : a.forms.longBytes)
        bytes = static_cast<int>(pick(0, 4));
    const int form = static_cast<int>(pick(0, 4));
    a.kind = static_cast<Kind>(pick(0, static_cast<uint32_t>(Kind::Count) - 1));
    switch (a.kind) {
    case Kind::Integer: {
        const int64_t v = pick(0, 1) ? static_cast<int64_t>(pick(0, 600)) - 300 : static_cast<int32_t>(rng());
        a.value = berInteger(v, 0x02, form);
        break;
    }
    case Kind::Text: {
        std::string text(pick(1, 300), ' ');
        for (char& c : text)
            do
                c = static_cast<char>(pick(0x20, 0x7E));
            while (c == '"' || c == '\\');
        a.value = berOctets(text, form);
        break;
    }
    case Kind::Hex: {
        std::string bytes(pick(1, 300), '\0');
        for (char& c : bytes)
            c = static_cast<char>(pick(0, 255));
        bytes[pick(0, static_cast<uint32_t>(bytes.size()) - 1)] = static_cast<char>(pick(0, 8));
        a.value = berOctets(bytes, form);
        break;
    }
    case Kind::ObjectId: {
        // 1.3 and one to twenty arcs, small ones and large ones, in base 128.
        std::vector<uint8_t> content{0x2B};
        for (uint32_t arcs = pick(1, 20); arcs > 0; --arcs) {
            const uint32_t arc = pick(0, 1) ? pick(0, 300) : pick(0, 0x7FFFFFFF);
            for (int shift = 28; shift > 0; shift -= 7)
                if (arc >> shift)
                    content.push_back(static_cast<uint8_t>(0x80 | ((arc >> shift) & 0x7F)));
            content.push_back(static_cast<uint8_t>(arc & 0x7F));
        }
        a.value = berElement(0x06, content, form);
        break;
    }
    case Kind::IpAddress:
        a.value = berElement(0x40, std::vector<uint8_t>{static_cast<uint8_t>(pick(0, 255)), static_cast<uint8_t>(pick(0, 255)),
                                                        static_cast<uint8_t>(pick(0, 255)), static_cast<uint8_t>(pick(0, 255))},
                             form);
        break;
    case Kind::Counter:
    case Kind::Gauge:
    case Kind::TimeTicks:
    case Kind::Unsigned: {
        const uint8_t tags[] = {0x41, 0x42, 0x43, 0x47};
        a.value = berUnsigned(tags[static_cast<int>(a.kind) - static_cast<int>(Kind::Counter)], static_cast<uint32_t>(rng()),
                              form);
        break;
    }
    case Kind::Count:
        break;
    }
    return a;
}

// The reply that shows what snmpget printed for a value of this kind: the
// same number or text, a text cut to the 255 bytes of the result area, hex
// pairs joined by "-" (85 of them fit), an OID without the leading dot.
std::string replyFor(Kind kind, const std::string& printed)
{
    const std::string string(kReplySnmpString);
    switch (kind) {
    case Kind::Integer:
        return std::string(kReplySnmpInteger) + printed;
    case Kind::Text:
        return string + printed.substr(0, 255);
    case Kind::Hex: {
        std::istringstream pairs(printed);
        std::string pair, joined;
        for (int k = 0; k < 85 && pairs >> pair; ++k)
            joined += (k ? "-" : "") + pair;
        return string + joined;
    }
    case Kind::ObjectId:
        return string + (printed.rfind('.', 0) == 0 ? printed.substr(1) : printed);
    default:
        return string + printed;
    }
}

// How many random answers the differential check draws: 150, or what
// PH_DIFFERENTIAL_ANSWERS says for a longer run by hand.
int answersToDraw()
{
    const char* s = std::getenv("PH_DIFFERENTIAL_ANSWERS");
    const int n = s ? std::atoi(s) : 0;
    return n > 0 ? n : 150;
}

TEST_F(SnmpGetAgainstFakeAgent, RandomValidAnswersInEveryLengthFormReadAsSnmpgetReadsThem)
{
    const int count = answersToDraw();
    std::mt19937 rng(20240518);
    int disagreements = 0;
    for (int k = 0; k < count; ++k) {
        const RandomAnswer a = randomAnswer(rng);
        FakeAgent agent(wideAnswer(a.value, a.forms));
        ASSERT_TRUE(agent.bound());
        const SnmpGetOutcome out = snmpGet(kFakeHost, "public", "1.3.6.1.2.1.1.1.0");
        const std::string reply = snmpReply(out.status, out.type, out.result, StringForm::Utf8);
        const std::string printed = snmpgetReads();
        if (reply == replyFor(a.kind, printed))
            continue;
        // The first few in full; the count tells the rest.
        if (++disagreements <= 5)
            ADD_FAILURE() << "answer " << k << ": snmpget read " << printed << "\nthe service replied " << reply
                          << "\n" << hexDump(snmpAnswer(kSysDescrOid, a.value, 0x1234, "public", a.forms));
    }
    EXPECT_EQ(disagreements, 0) << "of " << count << " random answers";
    std::printf("%d random answers, %d read otherwise than snmpget reads them\n", count, disagreements);
}

TEST_F(SnmpGetAgainstFakeAgent, DatagramsWithAnotherRequestIdAreDroppedAndTheRightOneTaken)
{
    // A stale answer (another id), garbage with no id at all, then ours.
    FakeAgent agent(
        [](int64_t id, const std::vector<uint8_t>&) {
            return std::vector<std::vector<uint8_t>>{
                snmpAnswer(kSysDescrOid, {0x02, 0x01, 13}, id ^ 0x5A5A), {0x30}, {0x30, 0x03, 0x02, 0x01, 0x00},
                snmpAnswer(kSysDescrOid, {0x02, 0x01, 42}, id)};
        },
        0ms, 30ms);
    const SnmpGetOutcome out = snmpGet(kFakeHost, "public", "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.result.integer(), 42);
    EXPECT_GE(out.elapsed, 80ms);
    EXPECT_LT(out.elapsed, 450ms);
}

TEST_F(SnmpGetAgainstFakeAgent, OnlyForeignDatagramsMeanNoAnswerAtTheTimeOut)
{
    gSnmpTimeout = 300;
    FakeAgent agent(
        [](int64_t id, const std::vector<uint8_t>&) {
            return std::vector<std::vector<uint8_t>>{snmpAnswer(kSysDescrOid, {0x02, 0x01, 13}, id + 1), {0x30},
                                                     snmpAnswer(kSysDescrOid, {0x02, 0x01, 13}, id - 1)};
        },
        0ms, 20ms);
    gtype = 0xEE;
    const SnmpGetOutcome out = snmpGet(kFakeHost, "public", "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(out.status, -9780);
    EXPECT_EQ(gtype.load(), 0xEE);
    EXPECT_GE(out.elapsed, 290ms);
    EXPECT_LT(out.elapsed, 600ms);
}

TEST_F(SnmpGetAgainstFakeAgent, AFloodOfForeignDatagramsDoesNotHoldTheCallPastItsTimeOut)
{
    gSnmpTimeout = 200;
    FakeAgent agent([](int64_t id, const std::vector<uint8_t>&) {
        return std::vector<std::vector<uint8_t>>(3000, snmpAnswer(kSysDescrOid, {0x02, 0x01, 13}, id + 1));
    });
    const SnmpGetOutcome out = snmpGet(kFakeHost, "public", "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(out.status, -9780);
    EXPECT_LT(out.elapsed, 1000ms);
}

TEST_F(SnmpGetAgainstFakeAgent, ALateButTimelyAnswerIsTakenWhenItArrives)
{
    FakeAgent agent(valueAnswer({0x02, 0x01, 42}), 150ms);
    const SnmpGetOutcome out = snmpGet(kFakeHost, "public", "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.result.integer(), 42);
    EXPECT_GE(out.elapsed, 140ms);
    EXPECT_LT(out.elapsed, 450ms);
}

TEST_F(SnmpGetAgainstFakeAgent, AnAnswerAfterTheTimeOutIsNotTaken)
{
    gSnmpTimeout = 100;
    FakeAgent agent(valueAnswer({0x02, 0x01, 42}), 300ms);
    const SnmpGetOutcome out = snmpGet(kFakeHost, "public", "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(out.status, -9780);
    EXPECT_GE(out.elapsed, 90ms);
    EXPECT_LT(out.elapsed, 290ms);
}

TEST_F(SnmpGetAgainstFakeAgent, ACancelDuringTheWaitEndsItWithinThirtyMilliseconds)
{
    gSnmpTimeout = 5000;
    FakeAgent agent(silent());
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
    FakeAgent agent(valueAnswer({0x02, 0x01, 42}));
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
    FakeAgent agent([](int64_t id, const std::vector<uint8_t>& request) -> std::vector<std::vector<uint8_t>> {
        uint8_t position = 0, lengthIndex = 0;
        uint64_t length = 0;
        SNMPMessage::extractOIDPositionAndLengthFromMessage(&request, position, lengthIndex, length);
        const std::size_t last = lengthIndex + length;
        if (length == 0 || last >= request.size())
            return {};
        const uint8_t i = request[last];
        std::vector<uint8_t> oid(request.begin() + lengthIndex + 1, request.begin() + static_cast<std::ptrdiff_t>(last) + 1);
        return {snmpAnswer(oid, i % 2 == 0 ? berInteger(i) : berElement(0x04, "v" + std::to_string(i)), id)};
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
    FakeAgent agent(silent());
    const SnmpGetOutcome out = snmpGet(kFakeHost, "public", "1.3.6.1.2.1.1.1.0");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(out.status, -9780);
    EXPECT_EQ(agent.requests(), 1);
}

}  // namespace

PH_SANDBOX_MAIN()
