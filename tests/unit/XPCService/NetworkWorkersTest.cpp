// Pure steps of the network workers: packet building, checksums, and the
// decoding and storing rules of the SNMP get worker on crafted answers.
#include "HexDump.h"
#include "PdeSnmpGet.h"
#include "SendEchoAndRecvReply.h"
#include "SendMagicPacket.h"
#include "SnmpAnswer.h"
#include "SnmpText.h"
#include "Utf8.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace {

template <typename A, typename B>
::testing::AssertionResult sameBytes(const A& actual, const B& expected)
{
    const std::vector<uint8_t> a(actual.begin(), actual.end());
    const std::vector<uint8_t> e(expected.begin(), expected.end());
    return bytesEqual("expected", "actual", e, a);
}

const std::vector<uint8_t>& kSysDescr = kSysDescrOid;

std::vector<uint8_t> answerWith(const std::vector<uint8_t>& oid, const std::vector<uint8_t>& value)
{
    return snmpAnswer(oid, value);
}

}  // namespace

TEST(MagicPacket, HoldsSyncStreamSixteenMacCopiesAndPasswordField)
{
    const MagicPacket p = buildMagicPacket(std::string("00:1b:2C:3d:4e:5f"), std::string("abc"));
    std::vector<uint8_t> expected(6, 0xFF);
    for (int i = 0; i < 16; ++i)
        expected.insert(expected.end(), {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F});
    expected.insert(expected.end(), {'a', 'b', 'c', 0, 0, 0});
    EXPECT_TRUE(sameBytes(p, expected));
}

TEST(MagicPacket, ReadsEachMacGroupLikePercentX)
{
    struct Case {
        const char* mac;
        std::array<uint8_t, 6> bytes;
    } cases[] = {
        {"1:2:3:4:5:6", {1, 2, 3, 4, 5, 6}},
        {"abc:12345678:0x1f: ff:g1:7zz", {0xBC, 0x78, 0x1F, 0xFF, 0x00, 0x07}},
        {"00-1B-2C-3D-4E-5F", {}},
        {"1:2:3:4:5", {}},
        {"1:2:3:4:5:6:7", {}},
        {"1:2:3:4:5:6:", {}},
        {"::::::", {}},
        {"-1:+2:0x:123456789abc:5:6", {0xFF, 0x02, 0x00, 0x89, 0x05, 0x06}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseMacAddress(std::string(c.mac)), c.bytes) << c.mac;
    EXPECT_EQ(parseMacAddress(std::nullopt), (std::array<uint8_t, 6>{}));
    // Refused at its seventh group, whatever follows.
    EXPECT_EQ(parseMacAddress(std::string(30'000'000, ':')), (std::array<uint8_t, 6>{}));
    EXPECT_EQ(parseMacAddress("1:2:3:4:5:6:" + std::string(1'000'000, 'f')), (std::array<uint8_t, 6>{}));
}

TEST(MagicPacket, TakesPasswordsOfOneToSixUtf8BytesWhole)
{
    struct Case {
        std::optional<std::string> password;
        std::array<uint8_t, 6> field;
    } cases[] = {
        {std::nullopt, {}},
        {std::string(""), {}},
        {std::string("x"), {'x', 0, 0, 0, 0, 0}},
        {std::string("secret"), {'s', 'e', 'c', 'r', 'e', 't'}},
        {std::string("secrets"), {}},
        {std::string("\xC3\xA4\xC3\xB6\xC3\xBC"), {0xC3, 0xA4, 0xC3, 0xB6, 0xC3, 0xBC}},  // "äöü", six bytes
        {std::string("\xC3\xA4\xC3\xB6\xC3\xBCx"), {}},  // four characters but seven bytes: never cut inside one
    };
    for (const Case& c : cases) {
        const MagicPacket p = buildMagicPacket(std::string("1:2:3:4:5:6"), c.password);
        EXPECT_TRUE(sameBytes(std::vector<uint8_t>(p.begin() + 102, p.end()), c.field)) << c.password.value_or("(none)");
    }
}

// Known answers, as bytes on the wire, so that they hold on a machine of
// either byte order: RFC 1071's example (sum DDF2), odd lengths, a carry.
TEST(EchoRequest, ChecksumBytesAreTheInternetChecksumOfBigEndianWords)
{
    struct Case {
        std::vector<uint8_t> bytes;
        std::array<uint8_t, 2> checksum;
    } cases[] = {
        {{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}, {0x22, 0x0D}},
        {{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6}, {0x23, 0x04}},
        {{0x01, 0x02, 0x03}, {0xFB, 0xFD}},
        {{0x01}, {0xFE, 0xFF}},
        {{0xFF, 0xFF, 0x00, 0x01}, {0xFF, 0xFE}},
        {std::vector<uint8_t>(28, 0), {0xFF, 0xFF}},
        {{}, {0xFF, 0xFF}},
    };
    for (const Case& c : cases)
        EXPECT_TRUE(sameBytes(icmpChecksum(c.bytes.data(), static_cast<int>(c.bytes.size())), c.checksum))
            << hexDump(c.bytes);
}

TEST(EchoRequest, CarriesTypeEightAndChecksumBytesF7FF)
{
    const auto request = buildEchoRequest();
    std::vector<uint8_t> expected(28, 0);
    expected[0] = 8;
    expected[2] = 0xF7;
    expected[3] = 0xFF;
    EXPECT_TRUE(sameBytes(request, expected));
    // A correct checksum makes the ones'-complement sum all ones.
    EXPECT_TRUE(sameBytes(icmpChecksum(request.data(), 28), std::array<uint8_t, 2>{0, 0}));
}

TEST(SnmpGetSteps, TrimsWhiteSpaceThenLineBreaksFromTheHost)
{
    const std::pair<std::string, std::string> cases[] = {
        {"192.0.2.10\n", "192.0.2.10"},
        {" \t192.0.2.10\r\n", "192.0.2.10"},
        {"\xE2\x80\x83" "192.0.2.10\xE2\x80\xA8", "192.0.2.10"},  // em space, line separator
        {"192.0.2.10\n ", "192.0.2.10"},
        {"192.0.2.10 \n", "192.0.2.10 "},  // one pass each: the space before the break stays
        {"", ""},
        {"\xFF" "1.2.3.4", "\xFF" "1.2.3.4"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(trimHostText(in), out) << in;
}

TEST(SnmpGetSteps, RewritesTextInMacFormByItsLength)
{
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"00-1B-2C-3D-4E-5F", "00:1B:2C:3D:4E:5F"},
        {"    aabbccddeeff", "aa:bb:cc:dd:ee:ff"},
        {"001B2C3D4E5F", "00:1B:2C:3D:4E:5F"},
        {"1234567", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(macAddressForm(in), out) << in;
}

TEST(SnmpGetSteps, CutsAHexFormAtAWholeGroup)
{
    const std::string groups = "00-1B-2C-3D";
    const std::pair<std::size_t, std::string> cases[] = {
        {11, groups}, {12, groups}, {10, "00-1B-2C"}, {9, "00-1B-2C"}, {8, "00-1B-2C"}, {7, "00-1B"}, {2, "00"}, {1, ""},
    };
    for (const auto& [room, out] : cases)
        EXPECT_EQ(cutHexForm(groups, room), out) << room;
}

TEST(SnmpGetSteps, CutsLongTextAtACharacterBoundary)
{
    EXPECT_EQ(cutAtUtf8Boundary(std::string(300, 'a'), 255).size(), 255u);
    const std::string euros = [] { std::string s; for (int i = 0; i < 100; ++i) s += "\xE2\x82\xAC"; return s; }();
    EXPECT_EQ(cutAtUtf8Boundary(euros, 255).size(), 255u);  // 85 whole characters
    EXPECT_EQ(cutAtUtf8Boundary("a" + euros, 255).size(), 253u);
    EXPECT_EQ(cutAtUtf8Boundary("short", 255), "short");
}

struct DecodeCase {
    const char* name;
    std::vector<uint8_t> value;
    int32_t iType;
    int32_t rtnCharFlag;
    ExpectedValue expected;
};

class SnmpAnswerDecoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(SnmpAnswerDecoding, StoresTheValueByItsType)
{
    const DecodeCase& c = GetParam();
    UResult u;
    uint8_t type = 0xEE;
    // A row whose bytes are a whole message (a SEQUENCE, which no value here
    // is) is decoded as it stands; any other row is the value of sysDescr.0.
    const bool whole = !c.value.empty() && c.value[0] == 0x30;
    const auto answer = whole ? c.value : answerWith(kSysDescr, c.value);
    SCOPED_TRACE(hexDump(answer));
    const int32_t status = decodeSnmpAnswer(answer, u, c.iType, c.rtnCharFlag, type);
    expectStored(c.expected, status, type, u);
}

// n bytes of text in which a two-byte "é" straddles byte 255 (it starts at 254).
std::string textWithCharacterAcross255(std::size_t n)
{
    std::string s(254, 'a');
    s += "\xC3\xA9";
    s.resize(n, 'z');
    return s;
}

// An answer with our request id and an empty binding list, whose 46-byte
// community makes the message 67 bytes long: its outer length byte, 0x41,
// is the tag of a Counter.
std::vector<uint8_t> answerWithoutBindings()
{
    const auto noBindings = berElement(0x30, std::vector<uint8_t>{});
    const auto pdu = berElement(0xA2, concat({berInteger(0x1234), berInteger(0), berInteger(0), noBindings}));
    return berElement(0x30, concat({berInteger(0), berElement(0x04, std::string(46, 'c')), pdu}));
}

INSTANTIATE_TEST_SUITE_P(
    Values, SnmpAnswerDecoding,
    ::testing::Values(
        DecodeCase{"Integer42", {0x02, 0x01, 42}, 0, 0, {0, 2, 42, ""}},
        DecodeCase{"IntegerMinusOne", {0x02, 0x01, 0xFF}, 0, 0, {0, 2, -1, ""}},
        DecodeCase{"IntegerMax", {0x02, 0x04, 0x7F, 0xFF, 0xFF, 0xFF}, 0, 0, {0, 2, 2147483647, ""}},
        DecodeCase{"IntegerMin", {0x02, 0x04, 0x80, 0, 0, 0}, 0, 0, {0, 2, INT32_MIN, ""}},
        DecodeCase{"IntegerFiveBytes", {0x02, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, 0, 0, {0, 2, -1, ""}},
        DecodeCase{"Text", berOctets("Fenwa"), 0, 0, {0, 4, std::nullopt, "Fenwa"}},
        DecodeCase{"RawMacPlain", {0x04, 6, 0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}, 0, 0, {0, 4, std::nullopt,
                   "00-1B-2C-3D-4E-5F"}},
        DecodeCase{"RawMacForm", {0x04, 6, 0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}, 0, 1, {0, 4, std::nullopt,
                   "00:1B:2C:3D:4E:5F"}},
        DecodeCase{"NotUtf8MacForm", {0x04, 6, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, 0, 1, {0, 4, std::nullopt,
                   "aa:bb:cc:dd:ee:ff"}},
        DecodeCase{"NotUtf8Plain", {0x04, 2, 0xC3, 0x28}, 0, 0, {0, 4, std::nullopt, "    c328"}},
        DecodeCase{"TwelveHexForm", berOctets("001B2C3D4E5F"), 0, 1, {0, 4, std::nullopt, "00:1B:2C:3D:4E:5F"}},
        DecodeCase{"SevenCharsForm", berOctets("1234567"), 0, 1, {0, 4, std::nullopt, ""}},
        DecodeCase{"Oid", {0x06, 3, 0x2B, 6, 1}, 0, 1, {0, 6, std::nullopt, "1.3.6.1"}},
        DecodeCase{"NullAsText", {0x05, 0x00}, 4, 0, {0, 4, std::nullopt, ""}},
        DecodeCase{"NullAsInteger", {0x05, 0x00}, 2, 0, {-30896, 5, std::nullopt, ""}},
        // Unsigned kinds and addresses come back as text of type 4, whatever iType.
        DecodeCase{"TimeTicks", {0x43, 4, 0, 1, 0xE2, 0x40}, 0, 0, {0, 4, std::nullopt, "123456"}},
        DecodeCase{"TimeTicksAsInteger", berUnsigned(0x43, 4242), 2, 0, {0, 4, std::nullopt, "4242"}},
        DecodeCase{"CounterAbove2To31", berUnsigned(0x41, 3000000000u), 0, 0, {0, 4, std::nullopt, "3000000000"}},
        DecodeCase{"CounterAsText", {0x41, 1, 7}, 4, 0, {0, 4, std::nullopt, "7"}},
        DecodeCase{"GaugeMax", berUnsigned(0x42, 0xFFFFFFFFu), 0, 0, {0, 4, std::nullopt, "4294967295"}},
        DecodeCase{"Unsigned47", berUnsigned(0x47, 65536), 0, 0, {0, 4, std::nullopt, "65536"}},
        DecodeCase{"IpAddress", {0x40, 4, 192, 0, 2, 1}, 2, 0, {0, 4, std::nullopt, "192.0.2.1"}},
        DecodeCase{"IpAddressCut", {0x40, 4, 192, 0}, 0, 0, {-30896, 5, std::nullopt, ""}},
        DecodeCase{"UnknownTagAsText", {0x44, 1, 7}, 4, 0, {0, 4, std::nullopt, ""}},
        DecodeCase{"UnknownTagAsInteger", {0x44, 1, 7}, 0, 0, {-30896, 5, std::nullopt, ""}},
        DecodeCase{"TruncatedString", {0x04, 50, 'a'}, 0, 0, {0, 4, std::nullopt, ""}},
        // No binding, so no value: nothing of the message's own header is read as one.
        DecodeCase{"NoBindingAsInteger", answerWithoutBindings(), 2, 0, {-30896, 5, std::nullopt, ""}},
        DecodeCase{"NoBindingAsText", answerWithoutBindings(), 4, 0, {0, 4, std::nullopt, ""}},
        // A 240-byte community puts the binding's OID length byte past position 255.
        DecodeCase{"Community240", snmpAnswer(kSysDescr, berOctets("Fenwa"), 0x1234, std::string(240, 'c')), 0, 0,
                   {0, 4, std::nullopt, "Fenwa"}},
        DecodeCase{"Community240Integer", snmpAnswer(kSysDescr, berInteger(-7), 0x1234, std::string(240, 'c')), 2,
                   0, {0, 2, -7, ""}},
        // Long forms in the binding, its OID and its value.
        DecodeCase{"Text200", berOctets(std::string(200, 'd')), 0, 0, {0, 4, std::nullopt, std::string(200, 'd')}},
        DecodeCase{"Text300CutAtACharacter", berOctets(textWithCharacterAcross255(300)), 0, 0, {0, 4, std::nullopt,
                   std::string(254, 'a')}},
        DecodeCase{"Text116", berOctets(std::string(116, 'x')), 0, 0, {0, 4, std::nullopt, std::string(116, 'x')}},
        DecodeCase{"LongTextAsMac", berOctets(std::string(200, 'd')), 0, 1, {0, 4, std::nullopt, ""}},
        DecodeCase{"LongFormOfAShortText", {0x04, 0x81, 0x02, 'o', 'k'}, 0, 0, {0, 4, std::nullopt, "ok"}},
        DecodeCase{"HexFormCutAtAWholeGroup", berOctets(std::string(120, '\x01')), 0, 0, {0, 4, std::nullopt,
                   [] { std::string s; for (int i = 0; i < 85; ++i) s += i < 84 ? "01-" : "01"; return s; }()}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SnmpAnswerDecodingLimits, CutsATextLongerThanTheResultAreaTo255Bytes)
{
    // 150 times "é", 300 bytes: 04 82 01 2C, read whole and cut to the 127
    // characters (254 bytes) that fit whole in 255.
    std::string text;
    for (int i = 0; i < 150; ++i)
        text += "\xC3\xA9";
    UResult u;
    uint8_t type = 0;
    EXPECT_EQ(decodeSnmpAnswer(answerWith(kSysDescr, berOctets(text)), u, 0, 0, type), 0);
    EXPECT_EQ(type, 4);
    EXPECT_EQ(u.string(), text.substr(0, 254));
    EXPECT_EQ(u.bytes.back(), 0);
}

TEST(SnmpAnswerDecodingLimits, ReadsABindingWhoseSequenceAndOidTakeTheLongForm)
{
    // Hand-laid: binding 30 82 00 10, OID 06 81 08: long forms an agent may
    // send although short ones would do; the value follows the OID.
    const std::vector<uint8_t> binding = {0x30, 0x82, 0x00, 0x10, 0x06, 0x81, 0x08, 0x2B, 6, 1, 2, 1, 1, 1, 0,
                                          0x04, 0x81, 0x02, 'h', 'i'};
    const auto msg = berElement(0x30, concat({berInteger(0), berElement(0x04, std::string("public")),
                                              berElement(0xA2, concat({berInteger(7), berInteger(0), berInteger(0),
                                                                       berElement(0x30, binding)}))}));
    UResult u;
    uint8_t type = 0;
    EXPECT_EQ(decodeSnmpAnswer(msg, u, 0, 0, type), 0) << hexDump(msg);
    EXPECT_EQ(type, 4);
    EXPECT_EQ(u.string(), "hi");
}

TEST(SnmpAnswerDecodingLimits, GarbageDecodesAsFarAsItGoesWithoutReadingOutside)
{
    const std::vector<std::vector<uint8_t>> answers = {
        {}, {0x30}, {0x30, 0x00}, {0x30, 0x05, 0x06}, {0x30, 0x02, 0x06, 0xFF}, std::vector<uint8_t>(2000, 0x30),
        {0x30, 0x09, 0x06, 0x01, 0x2B, 0x02, 0x7F},
    };
    for (const auto& a : answers) {
        UResult u;
        uint8_t type = 0;
        const int32_t status = decodeSnmpAnswer(a, u, 0, 0, type);
        EXPECT_TRUE(status == 0 || status == -30896) << hexDump(a);
    }
}
