#include "Ber.h"
#include "HexDump.h"
#include "SNMPMessage.h"
#include "SnmpAnswer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

// A GetResponse whose one binding, 1.3.6.1.2.1.1.7.0 = INTEGER 72, starts at
// position 26 and ends the message.
const char* const kReply72 =
    "30 27 02 01 00 04 05 61 62 63 64 65 A2 1B 02 02 02 01 02 01 00 02 01 00 30 0F"
    "30 0D 06 08 2B 06 01 02 01 01 07 00 02 01 48";

// Two bindings: sysName = "Printer", sysServices = 72.
const char* const kReplyTwo =
    "30 3D 02 01 00 04 06 70 75 62 6C 69 63 A2 30 02 02 02 01 02 01 00 02 01 00 30 24"
    "30 13 06 08 2B 06 01 02 01 01 05 00 04 07 50 72 69 6E 74 65 72"
    "30 0D 06 08 2B 06 01 02 01 01 07 00 02 01 48";

const std::optional<std::string> kCommunity = std::string("public");

using Location = SNMPMessage::OidLocation;

} // namespace

TEST(SNMPMessageParser, FindsNoBindingInNoMessageOrAnEmptyOne)
{
    const std::vector<uint8_t> empty;
    EXPECT_TRUE(SNMPMessage::extractAllOIDPositionAndLengthFromMessage(nullptr).empty());
    EXPECT_TRUE(SNMPMessage::extractAllOIDPositionAndLengthFromMessage(&empty).empty());

    const auto noBinding = hexBytes("30 14 02 01 00 04 01 70 A0 0C 02 02 02 01 02 01 00 02 01 00 30 00");
    for (const std::vector<uint8_t>* m : {static_cast<const std::vector<uint8_t>*>(nullptr), &empty, &noBinding}) {
        uint8_t pos = 0xAA, lenIdx = 0xBB;
        uint64_t len = 0xCC;
        SNMPMessage::extractOIDPositionAndLengthFromMessage(m, pos, lenIdx, len);
        EXPECT_EQ(pos, 0xAA);
        EXPECT_EQ(lenIdx, 0xBB);
        EXPECT_EQ(len, 0xCCu);
    }
}

TEST(SNMPMessageParser, LocatesTheFirstBindingAndReadsItsValue)
{
    const auto m = hexBytes(kReply72);
    ASSERT_EQ(m.size(), 41u);
    uint8_t pos = 0, lenIdx = 0;
    uint64_t len = 0;
    SNMPMessage::extractOIDPositionAndLengthFromMessage(&m, pos, lenIdx, len);
    EXPECT_EQ(pos, 28);
    EXPECT_EQ(lenIdx, 29);
    EXPECT_EQ(len, 8u);
    const uint64_t valueIndex = len + lenIdx + 1;
    EXPECT_EQ(valueIndex, 38u);
    uint8_t type = 0;
    EXPECT_EQ(SNMPMessage::extractValueStringFromMessage(&m, valueIndex, type), "72");
    EXPECT_EQ(type, 2);
}

TEST(SNMPMessageParser, ScansEveryThirtyXxSixPatternInMessageOrder)
{
    struct Case {
        const char* what;
        const char* hex;
        std::vector<Location> found;
    } cases[] = {
        {"two bindings", kReplyTwo, {{29, 30, 8}, {50, 51, 8}}},
        {"30 xx 06 inside an OCTET STRING counts too",
         "30 10 30 0E 06 08 2B 06 01 02 01 01 05 00 04 04 30 05 06 01",
         {{4, 5, 8}, {18, 19, 1}}},
        {"a VarBind in the long form 81 n matches", "30 81 0C 06 08 2B 06 01 02 01 01 05 00 05 00", {{3, 4, 8}}},
        {"a VarBind in the long form 82 n n matches", "30 82 00 0C 06 08 2B 06 01 02 01 01 05 00 05 00",
         {{4, 5, 8}}},
        {"an OID in the long form names its length field's last byte", "30 0D 06 81 08 2B 06 01 02 01 01 05 00 05 00",
         {{2, 4, 8}}},
        {"a long-form header of 1536 bytes is no binding", "30 82 06 10 02 01 00", {}},
        {"a long form cut short is no binding", "30 82 00", {}},
        {"a VarBind in the long form 83 n n n matches", "30 83 00 00 0C 06 08", {{5, 6, 8}}},
        {"an OID in the long form 84 n n n n matches", "30 84 00 00 00 0C 06 84 00 00 00 08", {{6, 11, 8}}},
        {"the indefinite form is no binding", "30 80 06 08 2B 06 01 02", {}},
        {"a length of five bytes is not read", "30 85 00 00 00 00 0C 06 08", {}},
        {"the pattern needs its length byte inside the message", "30 05 06", {}},
        {"the shortest match", "30 05 06 00", {{2, 3, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto m = hexBytes(c.hex);
        EXPECT_EQ(SNMPMessage::extractAllOIDPositionAndLengthFromMessage(&m), c.found);
    }
}

TEST(SNMPMessageParser, TakesTheFirstBindingFromTheStructureNotFromACommunityThatLooksLikeOne)
{
    // The community "0\x05\x06\x01+" holds the bytes 30 05 06 01 2B; the real
    // binding, sysServices = 72, follows the PDU header.
    const auto m = hexBytes("30 2A 02 01 00 04 05 30 05 06 01 2B A2 1E 02 02 12 34 02 01 00 02 01 00 30 12"
                            "30 10 06 08 2B 06 01 02 01 01 07 00 04 04 41 42 43 44");
    ASSERT_EQ(SNMPMessage::extractAllOIDPositionAndLengthFromMessage(&m).front(), (Location{9, 10, 1}));
    uint8_t pos = 0, lenIdx = 0;
    uint64_t len = 0;
    SNMPMessage::extractOIDPositionAndLengthFromMessage(&m, pos, lenIdx, len);
    EXPECT_EQ(pos, 28);
    EXPECT_EQ(lenIdx, 29);
    EXPECT_EQ(len, 8u);
    EXPECT_EQ(SNMPMessage::extractValueStringFromMessage(&m, len + lenIdx + 1), "ABCD");
}

TEST(SNMPMessageParser, ReadsValuesWhoseLengthTakesALongForm)
{
    struct Case {
        const char* hex;  // placed at index 1, after one filler byte
        std::optional<std::string> text;
        uint8_t type;
    } cases[] = {
        {"04 81 02 41 42", "AB", 4},
        {"04 82 00 02 41 42", "AB", 4},
        {"02 81 01 FF", "-1", 2},
        {"43 82 00 04 00 01 E2 40", "123456", 5},
        {"04 81 03 41 42", std::nullopt, 4},   // claims more than there is
        {"04 82 00", std::nullopt, 4},         // length field cut short
        {"04 84 00 00 00 02 41 42", "AB", 4},
        {"04 83 00 00 02 41 42", "AB", 4},
        {"02 83 00 00 01 2A 00", "42", 2},
        {"04 83 00 00", std::nullopt, 4},             // length field cut short
        {"04 80 41 42 00 00", std::nullopt, 4},       // the indefinite form
        {"04 85 00 00 00 00 02 41 42", std::nullopt, 4},  // more length bytes than 32 bits need
        {"04 81 00", std::nullopt, 5},         // empty, and the message's last element: as in the short form
    };
    for (const auto& c : cases) {
        auto m = hexBytes("99 " + std::string(c.hex));
        uint8_t type = 0;
        EXPECT_EQ(SNMPMessage::extractValueStringFromMessage(&m, 1, type), c.text) << c.hex;
        EXPECT_EQ(type, c.type) << c.hex;
    }
    for (const char* hex : {"99 04 82 00 02 41 42", "99 04 83 00 00 02 41 42", "99 04 84 00 00 00 02 41 42"}) {
        const auto m = hexBytes(hex);
        EXPECT_EQ(SNMPMessage::extractValueDataFromMessage(&m, 1), hexBytes("41 42")) << hex;
    }
    const auto indefinite = hexBytes("99 04 80 41 42 00 00");
    EXPECT_EQ(SNMPMessage::extractValueDataFromMessage(&indefinite, 1), std::nullopt);
}

TEST(BerLength, ReadsTheShortFormAndEveryLongFormOfOneToFourBytes)
{
    struct Case {
        const char* hex;
        std::optional<uint32_t> length;
        std::size_t fieldSize;  // how far the cursor moves; 0 when it stays
    } cases[] = {
        {"00", 0, 1},
        {"7F", 127, 1},
        {"81 80", 128, 2},
        {"81 05", 5, 2},  // longer than needed, still what it says
        {"82 01 2C", 300, 3},
        {"82 00 05", 5, 3},
        {"83 00 00 05", 5, 4},
        {"83 01 00 00", 65536, 4},
        {"84 00 00 00 05", 5, 5},
        {"84 FF FF FF FF", 4294967295u, 5},
        {"84 00 00 00 05 99", 5, 5},  // what follows the field is content, not length
        {"80", std::nullopt, 0},       // indefinite
        {"85 00 00 00 00 05", std::nullopt, 0},
        {"FF", std::nullopt, 0},
        {"81", std::nullopt, 0},
        {"83 00 00", std::nullopt, 0},
        {"84 00 00 00", std::nullopt, 0},
        {"", std::nullopt, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hex);
        const auto bytes = hexBytes(c.hex);
        const uint8_t* cur = bytes.data();
        EXPECT_EQ(ber::readLength(cur, bytes.data() + bytes.size()), c.length);
        EXPECT_EQ(static_cast<std::size_t>(cur - bytes.data()), c.fieldSize);
    }
    // The end bounds the field, not the buffer behind it.
    const auto bytes = hexBytes("83 00 00 05");
    const uint8_t* cur = bytes.data();
    EXPECT_EQ(ber::readLength(cur, bytes.data() + 3), std::nullopt);
    EXPECT_EQ(cur, bytes.data());
}

TEST(SNMPMessageParser, ReadsAnswersWhoseLengthsTakeAWiderLongFormAnywhere)
{
    using P = AnswerPart;
    const std::string text200(200, 't');
    std::string text300;
    while (text300.size() < 300)
        text300 += "0123456789";
    const auto integer42 = berInteger(42);
    const auto answer = [](const std::vector<uint8_t>& value, const AnswerForms& forms = AnswerForms()) {
        return snmpAnswer(kSysDescrOid, value, 0x1234, "public", forms);
    };
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        std::optional<std::string> text;
        uint8_t type;
        std::optional<int64_t> requestId;
    } cases[] = {
        {"INTEGER 83", answer(hexBytes("02 83 00 00 01 2A")), "42", 2, 0x1234},
        {"INTEGER 84", answer(berInteger(-2, 0x02, 4)), "-2", 2, 0x1234},
        {"OCTET STRING 83", answer(hexBytes("04 83 00 00 05 68 65 6C 6C 6F")), "hello", 4, 0x1234},
        {"OCTET STRING 84", answer(berOctets("hello", 4)), "hello", 4, 0x1234},
        {"200 bytes 84", answer(berOctets(text200, 4)), text200, 4, 0x1234},
        {"300 bytes 83", answer(berOctets(text300, 3)), text300, 4, 0x1234},
        {"300 bytes 84", answer(berOctets(text300, 4)), text300, 4, 0x1234},
        {"control bytes 83", answer(berOctets(std::string("\x00\x1B", 2), 3)), "00-1B", 4, 0x1234},
        {"OBJECT IDENTIFIER 83", answer(berElement(0x06, kSysDescrOid, 3)), "1.3.6.1.2.1.1.1.0", 6, 0x1234},
        {"IpAddress 83", answer(hexBytes("40 83 00 00 04 C0 00 02 01")), "192.0.2.1", 5, 0x1234},
        {"Counter 83", answer(hexBytes("41 83 00 00 01 07")), "7", 5, 0x1234},
        {"Gauge 83", answer(hexBytes("42 83 00 00 01 07")), "7", 5, 0x1234},
        {"TimeTicks 83", answer(hexBytes("43 83 00 00 01 07")), "7", 5, 0x1234},
        {"APPLICATION 7 83", answer(hexBytes("47 83 00 00 01 07")), "7", 5, 0x1234},
        {"TimeTicks 84", answer(berUnsigned(0x43, 123456, 4)), "123456", 5, 0x1234},
        {"binding sequence 84", answer(integer42, AnswerForms().wide(P::Binding, 4)), "42", 2, 0x1234},
        {"binding OID 83", answer(integer42, AnswerForms().wide(P::Oid, 3)), "42", 2, 0x1234},
        {"binding list 84", answer(integer42, AnswerForms().wide(P::BindingList, 4)), "42", 2, 0x1234},
        {"message 83", answer(integer42, AnswerForms().wide(P::Message, 3)), "42", 2, 0x1234},
        {"message 84", answer(integer42, AnswerForms().wide(P::Message, 4)), "42", 2, 0x1234},
        {"version 84", answer(integer42, AnswerForms().wide(P::Version, 4)), "42", 2, 0x1234},
        {"community 83", answer(integer42, AnswerForms().wide(P::Community, 3)), "42", 2, 0x1234},
        {"PDU 84", answer(integer42, AnswerForms().wide(P::Pdu, 4)), "42", 2, 0x1234},
        {"request id 83", answer(integer42, AnswerForms().wide(P::RequestId, 3)), "42", 2, 0x1234},
        {"error status 84", answer(integer42, AnswerForms().wide(P::ErrorStatus, 4)), "42", 2, 0x1234},
        {"error index 83", answer(integer42, AnswerForms().wide(P::ErrorIndex, 3)), "42", 2, 0x1234},
        {"every length 84", answer(berInteger(42, 0x02, 4), allWide(4)), "42", 2, 0x1234},
        {"every length 81", answer(berInteger(42, 0x02, 1), allWide(1)), "42", 2, 0x1234},
        // The indefinite form is no length: the message cannot be walked to
        // its request id (the worker then drops it as someone else's), and a
        // value in it cannot be read.
        {"message in the indefinite form",
         hexBytes("30 80 02 01 00 04 06 70 75 62 6C 69 63 A2 19 02 02 12 34 02 01 00 02 01 00"
                  "30 0D 30 0B 06 08 2B 06 01 02 01 01 01 00 02 01 2A 00 00"),
         "42", 2, std::nullopt},
        {"value in the indefinite form", answer(hexBytes("04 80 68 69 00 00")), std::nullopt, 4, 0x1234},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + "\n" + hexDump(c.bytes));
        EXPECT_EQ(SNMPMessage::extractRequestIdFromMessage(&c.bytes), c.requestId);
        const auto at = SNMPMessage::firstBindingLocation(&c.bytes);
        ASSERT_TRUE(at);
        // The OID read back from where the location names it.
        const std::vector<uint8_t> oid(c.bytes.begin() + static_cast<long>((*at)[1] + 1),
                                       c.bytes.begin() + static_cast<long>((*at)[1] + 1 + (*at)[2]));
        EXPECT_BYTES(kSysDescrOid, oid);
        uint8_t type = 0xEE;
        EXPECT_EQ(SNMPMessage::extractValueStringFromMessage(&c.bytes, (*at)[1] + (*at)[2] + 1, type), c.text);
        EXPECT_EQ(type, c.type);
        // The 8-bit positions of the worker's own calling order say the same.
        uint8_t pos = 0, lenIdx = 0;
        uint64_t len = 0;
        SNMPMessage::extractOIDPositionAndLengthFromMessage(&c.bytes, pos, lenIdx, len);
        EXPECT_EQ(pos, (*at)[0]);
        EXPECT_EQ(lenIdx, (*at)[1]);
        EXPECT_EQ(len, 8u);
    }
}

TEST(SNMPMessageParser, ReadsTheRequestIdOfAWholeMessageOnly)
{
    struct Case {
        const char* hex;
        std::optional<int64_t> id;
    } cases[] = {
        {kReply72, 0x0201},
        {"30 0F 02 01 00 04 01 70 A2 07 02 02 F0 0D 02 01 00", -4083},
        {"30 81 0F 02 01 00 04 01 70 A2 07 02 02 12 34 02 01 00", 0x1234},
        {"30 0F 02 01 00 04 01 70 A2 07 02 00 02 01 00 02 01", std::nullopt},  // an empty INTEGER
        {"30 0F 02 01 00 04 01 70 30 07 02 02 12 34 02 01 00", std::nullopt},  // no PDU
        {"30 0F 02 01 00 04 01 70 A2 07 02 02 12", std::nullopt},              // cut inside the id
        {"30 0F 02 01 00 04 01 70 A2 07 02 02 12 34 02", 0x1234},              // cut after it
        {"30", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto m = hexBytes(c.hex);
        EXPECT_EQ(SNMPMessage::extractRequestIdFromMessage(&m), c.id) << c.hex;
    }
    EXPECT_EQ(SNMPMessage::extractRequestIdFromMessage(nullptr), std::nullopt);
}

TEST(SNMPMessageParser, ReportsNoFirstBindingBeyondWhatAnEightBitPositionSays)
{
    // A binding whose OID length byte lands at position `at`.
    auto withBindingAt = [](std::size_t at) {
        std::vector<uint8_t> m(at - 3, 0x00);
        const auto tail = hexBytes("30 0C 06 08 2B 06 01 02 01 01 05 00 05 00");
        m.insert(m.end(), tail.begin(), tail.end());
        return m;
    };
    const auto reachable = withBindingAt(255);
    uint8_t pos = 0, lenIdx = 0;
    uint64_t len = 0;
    SNMPMessage::extractOIDPositionAndLengthFromMessage(&reachable, pos, lenIdx, len);
    EXPECT_EQ(pos, 254);
    EXPECT_EQ(lenIdx, 255);
    EXPECT_EQ(len, 8u);

    const auto beyond = withBindingAt(256);
    pos = 0, lenIdx = 0, len = 0;
    SNMPMessage::extractOIDPositionAndLengthFromMessage(&beyond, pos, lenIdx, len);
    EXPECT_EQ(pos, 0);
    EXPECT_EQ(lenIdx, 0);
    EXPECT_EQ(len, 0u);
    // The full-position scan, the full-position first binding and the
    // all-strings wrapper still see it.
    EXPECT_EQ(SNMPMessage::extractAllOIDPositionAndLengthFromMessage(&beyond), (std::vector<Location>{{255, 256, 8}}));
    EXPECT_EQ(SNMPMessage::firstBindingLocation(&beyond), std::optional<Location>(Location{255, 256, 8}));
    EXPECT_EQ(SNMPMessage::firstBindingLocation(&reachable), std::optional<Location>(Location{254, 255, 8}));
    EXPECT_EQ(SNMPMessage::firstBindingLocation(nullptr), std::nullopt);
    std::vector<std::string> oids, values;
    SNMPMessage::extractAllStringsFromMsg(&beyond, kCommunity, oids, values);
    EXPECT_EQ(oids, std::vector<std::string>{"1.3.6.1.2.1.1.5.0"});
    EXPECT_EQ(values, std::vector<std::string>{""});
    std::string text = "untouched";
    EXPECT_FALSE(SNMPMessage::extractStringFromMsg(&beyond, kCommunity, text));
    EXPECT_EQ(text, "untouched");
}

TEST(SNMPMessageParser, RendersEveryValueKindInBothForms)
{
    constexpr uint8_t kNoType = 0xEE;
    struct Case {
        const char* what;
        const char* hex;  // placed at index 1, after one filler byte
        std::optional<std::string> typed;
        uint8_t type;
        std::optional<std::string> untyped;
    } cases[] = {
        {"INTEGER 72", "02 01 48", "72", 2, "72"},
        {"INTEGER -1", "02 01 FF", "-1", 2, "-1"},
        {"INTEGER 255 with its sign byte", "02 02 00 FF", "255", 2, "255"},
        {"INTEGER minimum", "02 04 80 00 00 00", "-2147483648", 2, "-2147483648"},
        {"INTEGER maximum", "02 04 7F FF FF FF", "2147483647", 2, "2147483647"},
        {"INTEGER keeps its last four bytes", "02 05 01 00 00 00 07", "7", 2, "7"},
        {"INTEGER of no bytes is 0, not the next byte's sign", "02 00 80", "0", 2, "0"},
        {"INTEGER cut off", "02 03 01 02", std::nullopt, 2, std::nullopt},
        {"OCTET STRING with control bytes as hex", "04 06 00 1B 2C 3D 4E 5F", "00-1B-2C-3D-4E-5F", 4,
         "00-1B-2C-3D-4E-5F"},
        {"OCTET STRING one control byte", "04 01 1F", "1F", 4, "1F"},
        {"OCTET STRING 0x20 is text", "04 03 41 20 42", "A B", 4, "A B"},
        {"OCTET STRING text", "04 02 41 42", "AB", 4, "AB"},
        {"OCTET STRING UTF-8", "04 02 C3 A9", "\xC3\xA9", 4, "\xC3\xA9"},
        {"OCTET STRING not UTF-8", "04 02 C3 28", "    c328", 4, "    c328"},
        {"OCTET STRING control byte before UTF-8 check", "04 02 FF 0A", "FF-0A", 4, "FF-0A"},
        {"OCTET STRING lone high bytes", "04 03 80 FE 21", "    80fe21", 4, "    80fe21"},
        {"OCTET STRING empty, more bytes following", "04 00 05 00", "", 4, ""},
        {"OCTET STRING empty at the end: too short before the tag is looked at", "04 00", std::nullopt, 5, std::nullopt},
        {"OCTET STRING claiming more than present", "04 09 41 42", std::nullopt, 4, std::nullopt},
        {"NULL", "05 00 00", std::nullopt, 5, std::nullopt},
        {"OBJECT IDENTIFIER", "06 08 2B 06 01 02 01 01 02 00", "1.3.6.1.2.1.1.2.0", 6, "1.3.6.1.2.1.1.2.0"},
        {"OBJECT IDENTIFIER with a multi-byte arc", "06 08 2B 06 01 04 01 81 80 00", "1.3.6.1.4.1.16384", 6,
         "1.3.6.1.4.1.16384"},
        {"OBJECT IDENTIFIER not under 1.3", "06 02 2C 01", "0.0.1", 6, "0.0.1"},
        {"OBJECT IDENTIFIER arc 2^32-1 unsigned", "06 06 2B 8F FF FF FF 7F", "1.3.4294967295", 6, "1.3.4294967295"},
        {"OBJECT IDENTIFIER arc beyond 32 bits", "06 07 2B 90 80 80 80 00 00", std::nullopt, 6, std::nullopt},
        {"OBJECT IDENTIFIER unclosed arc", "06 03 2B 81 80", std::nullopt, 6, std::nullopt},
        {"OBJECT IDENTIFIER empty", "06 00 00", std::nullopt, 6, std::nullopt},
        {"OBJECT IDENTIFIER cut off", "06 09 2B 06 01", std::nullopt, 6, std::nullopt},
        {"IpAddress", "40 04 C0 00 02 01", "192.0.2.1", 5, "192.0.2.1"},
        {"IpAddress whatever its length says", "40 00 C0 00 02 01", "192.0.2.1", 5, "192.0.2.1"},
        {"IpAddress cut off", "40 04 C0 00 02", std::nullopt, 5, std::nullopt},
        {"Counter above 2^31 unsigned", "41 04 FF FF FF FF", "4294967295", 5, ""},
        {"Gauge", "42 01 05", "5", 5, ""},
        {"TimeTicks", "43 04 00 01 E2 40", "123456", 5, ""},
        {"TimeTicks above 2^31", "43 04 80 00 00 00", "2147483648", 5, ""},
        {"TimeTicks cut off", "43 04 00 01", std::nullopt, 5, ""},
        {"APPLICATION 7", "47 02 01 00", "256", 5, ""},
        {"Opaque is not rendered", "44 01 00", "", 5, ""},
        {"a context tag is not rendered", "A2 01 00", "", 5, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto m = hexBytes(c.hex);
        m.insert(m.begin(), 0x99);
        uint8_t type = kNoType;
        EXPECT_EQ(SNMPMessage::extractValueStringFromMessage(&m, 1, type), c.typed);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(SNMPMessage::extractValueStringFromMessage(&m, 1), c.untyped);
    }
}

TEST(SNMPMessageParser, AnswersNoneForAnIndexOutsideTheMessage)
{
    const auto m = hexBytes("99 02 01 48");
    const uint64_t indexes[] = {0, 2, 3, 4, 5, 1000, std::numeric_limits<uint64_t>::max() - 1,
                                std::numeric_limits<uint64_t>::max()};
    for (uint64_t i : indexes) {
        uint8_t type = 0;
        EXPECT_EQ(SNMPMessage::extractValueStringFromMessage(&m, i, type), std::nullopt) << i;
        EXPECT_EQ(type, 5) << i;
        EXPECT_EQ(SNMPMessage::extractValueStringFromMessage(&m, i), std::nullopt) << i;
        EXPECT_EQ(SNMPMessage::extractValueDataFromMessage(&m, i), std::nullopt) << i;
    }
    uint8_t type = 0;
    EXPECT_EQ(SNMPMessage::extractValueStringFromMessage(nullptr, 1, type), std::nullopt);
    EXPECT_EQ(type, 5);
}

TEST(SNMPMessageParser, HandsBackAValuesContentBytesWhateverTheTag)
{
    struct Case {
        const char* hex;
        uint64_t index;
        std::optional<std::vector<uint8_t>> bytes;
    } cases[] = {
        {"99 04 02 41 42", 1, hexBytes("41 42")},
        {"99 43 04 00 01 E2 40", 1, hexBytes("00 01 E2 40")},
        {"99 05 00", 1, std::vector<uint8_t>{}},
        {"99 04 05 41", 1, std::nullopt},
        {"99 04", 1, std::nullopt},
        {"99 04 00", 0, std::nullopt},
        {"99 02 01 48", 2, std::nullopt},
    };
    for (const Case& c : cases) {
        const auto m = hexBytes(c.hex);
        EXPECT_EQ(SNMPMessage::extractValueDataFromMessage(&m, c.index), c.bytes) << c.hex;
    }
    EXPECT_EQ(SNMPMessage::extractValueDataFromMessage(nullptr, 1), std::nullopt);
}

TEST(SNMPMessageParser, TurnsOidBytesIntoDottedText)
{
    struct Case {
        const char* hex;
        std::optional<std::string> text;
    } cases[] = {
        {"2B 06 01 02 01 01 02 00", "1.3.6.1.2.1.1.2.0"},
        {"2B 06 01 04 01 81 80 00", "1.3.6.1.4.1.16384"},
        {"2B", "1.3"},
        {"2C 01", "0.0.1"},
        {"81 01", "0.0.1"},  // the first byte is taken alone
        {"2B FF 7F 81 48", "1.3.16383.200"},
        {"2B 80 80 01", "1.3.1"},
        {"2B 81", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        const auto bytes = hexBytes(c.hex);
        EXPECT_EQ(SNMPMessage::convertOIDDataToString(&bytes), c.text) << c.hex;
    }
    EXPECT_EQ(SNMPMessage::convertOIDDataToString(nullptr), std::nullopt);
}

TEST(SNMPMessageParser, SingleBindingWrappersReadTheFirstBinding)
{
    const auto two = hexBytes(kReplyTwo);
    std::string sysID = "old";
    SNMPMessage::extractSysIDFromMsg(&two, sysID);
    EXPECT_EQ(sysID, "Printer");

    std::vector<uint8_t> data{9, 9};
    EXPECT_TRUE(SNMPMessage::extractDataFromMsg(&two, kCommunity, data));
    EXPECT_BYTES(hexBytes("50 72 69 6E 74 65 72"), data);

    std::string text = "old";
    EXPECT_TRUE(SNMPMessage::extractStringFromMsg(&two, kCommunity, text));
    EXPECT_EQ(text, "Printer");

    std::string oid = "old";
    text = "old";
    EXPECT_TRUE(SNMPMessage::extractStringFromMsg(&two, kCommunity, oid, text));
    EXPECT_EQ(oid, "1.3.6.1.2.1.1.5.0");
    EXPECT_EQ(text, "Printer");

    // The community only has to be there; another one than the message's will do.
    text.clear();
    EXPECT_TRUE(SNMPMessage::extractStringFromMsg(&two, std::string("other"), text));
    EXPECT_EQ(text, "Printer");
}

TEST(SNMPMessageParser, WrappersStoreNothingWithoutMessageCommunityOrBinding)
{
    const auto two = hexBytes(kReplyTwo);
    const auto none = hexBytes("30 14 02 01 00 04 01 70 A0 0C 02 02 02 01 02 01 00 02 01 00 30 00");
    struct Case {
        const char* what;
        const std::vector<uint8_t>* message;
        std::optional<std::string> community;
    } cases[] = {
        {"no message", nullptr, kCommunity},
        {"no community", &two, std::nullopt},
        {"no binding", &none, kCommunity},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> data{9};
        EXPECT_FALSE(SNMPMessage::extractDataFromMsg(c.message, c.community, data));
        EXPECT_BYTES(std::vector<uint8_t>{9}, data);
        std::string text = "keep", oid = "keep";
        EXPECT_FALSE(SNMPMessage::extractStringFromMsg(c.message, c.community, text));
        EXPECT_FALSE(SNMPMessage::extractStringFromMsg(c.message, c.community, oid, text));
        EXPECT_EQ(text, "keep");
        EXPECT_EQ(oid, "keep");
        std::vector<std::string> oids{"a"}, values{"b"};
        SNMPMessage::extractAllStringsFromMsg(c.message, c.community, oids, values);
        EXPECT_EQ(oids.size(), 1u);
        EXPECT_EQ(values.size(), 1u);
    }
    std::string sysID = "keep";
    SNMPMessage::extractSysIDFromMsg(nullptr, sysID);
    EXPECT_EQ(sysID, "keep");
    SNMPMessage::extractSysIDFromMsg(&none, sysID);
    EXPECT_EQ(sysID, "");
}

TEST(SNMPMessageParser, NextOidWrapperKeepsTheOidWhenTheValueIsUnreadable)
{
    // 1.3.6.1.2.1.1.5.0 = NULL
    const auto m = hexBytes("30 0C 06 08 2B 06 01 02 01 01 05 00 05 00");
    std::string oid = "old", text = "old";
    EXPECT_FALSE(SNMPMessage::extractStringFromMsg(&m, kCommunity, oid, text));
    EXPECT_EQ(oid, "1.3.6.1.2.1.1.5.0");
    EXPECT_EQ(text, "old");
}

TEST(SNMPMessageParser, OidsRunningPastTheEndAreNotTakenOut)
{
    // The OID length byte claims 0x40 bytes; the message ends after three.
    const auto m = hexBytes("30 0C 06 40 2B 06 01");
    std::string oid = "old", text = "old";
    EXPECT_FALSE(SNMPMessage::extractStringFromMsg(&m, kCommunity, oid, text));
    EXPECT_EQ(oid, "old");
    std::vector<std::string> oids, values;
    SNMPMessage::extractAllStringsFromMsg(&m, kCommunity, oids, values);
    EXPECT_EQ(oids, std::vector<std::string>{""});
    EXPECT_EQ(values, std::vector<std::string>{""});
}

TEST(SNMPMessageParser, AllStringsWrapperAppendsOnePairPerBinding)
{
    const auto two = hexBytes(kReplyTwo);
    std::vector<std::string> oids{"earlier"}, values{"earlier"};
    SNMPMessage::extractAllStringsFromMsg(&two, kCommunity, oids, values);
    EXPECT_EQ(oids, (std::vector<std::string>{"earlier", "1.3.6.1.2.1.1.5.0", "1.3.6.1.2.1.1.7.0"}));
    EXPECT_EQ(values, (std::vector<std::string>{"earlier", "Printer", "72"}));
}

TEST(SNMPMessageParser, ReadsBackWhatTheBuilderWrote)
{
    const std::vector<std::string> oids = {
        "1.3.6.1.2.1.1.5.0", "1.3.6.1.4.1.2699.1.2.1.2.1.1.2.1", "1.3.2147483647.0.16384", "1.3", "0.0.1",
    };
    // Communities up to 127 bytes: the readers understand one-byte lengths only.
    for (std::size_t communityBytes : {std::size_t{0}, std::size_t{6}, std::size_t{120}}) {
        SCOPED_TRACE(communityBytes);
        SNMPMessage m;
        m.setMessageSequenceLength(0);
        m.setVarbindListSequenceLength(0);
        m.setVarbindSequenceLength(0);
        m.setVersion(0);
        ASSERT_TRUE(m.setCommunityString(std::string(communityBytes, 'c')));
        m.setPdu(0xA0, 0);
        m.setRequestId({0x34, 0x12}, 0x02, 2);
        m.setError(0);
        m.setErrorIndex(0);
        ASSERT_TRUE(m.setVarbindOidsWithNilValues(oids));
        m.writeSnmpMessageToData();
        ASSERT_TRUE(m.isSnmpValid());
        const std::vector<uint8_t>& bytes = *m.data();

        const auto found = SNMPMessage::extractAllOIDPositionAndLengthFromMessage(&bytes);
        ASSERT_EQ(found.size(), oids.size()) << hexDump(bytes);
        for (std::size_t k = 0; k < oids.size(); ++k) {
            const auto content = std::vector<uint8_t>(bytes.begin() + static_cast<long>(found[k][1] + 1),
                                                      bytes.begin() + static_cast<long>(found[k][1] + 1 + found[k][2]));
            EXPECT_EQ(SNMPMessage::convertOIDDataToString(&content), oids[k]);
            uint8_t type = 0;
            EXPECT_EQ(SNMPMessage::extractValueStringFromMessage(&bytes, found[k][1] + found[k][2] + 1, type),
                      std::nullopt);
            EXPECT_EQ(type, 5);
        }
        // The community and the request id come back from where the layout puts them.
        const uint64_t communityAt = bytes[1] == 0x82 ? 7 : 5;
        EXPECT_EQ(SNMPMessage::extractValueStringFromMessage(&bytes, communityAt).value_or("?"),
                  std::string(communityBytes, 'c'));
    }
}
