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

// A whole message with an empty binding list.
const char* const kNoBinding = "30 14 02 01 00 04 01 70 A0 0C 02 02 02 01 02 01 00 02 01 00 30 00";

const std::optional<std::string> kCommunity = std::string("public");

using Location = SNMPMessage::OidLocation;

// A binding of sysName = NULL whose OID length byte lands at position `at`.
std::vector<uint8_t> bindingAt(std::size_t at)
{
    return concat({std::vector<uint8_t>(at - 3, 0x00), hexBytes("30 0C 06 08 2B 06 01 02 01 01 05 00 05 00")});
}

// The value element in hex, after one filler byte, so that it lies at index 1.
std::vector<uint8_t> value(const std::string& hex) { return hexBytes("99 " + hex); }
std::vector<uint8_t> value(const std::vector<uint8_t>& element) { return concat({{0x99}, element}); }

// A GetResponse of sysDescr.0 = element, its lengths in the forms given.
std::vector<uint8_t> answer(const std::vector<uint8_t>& element, const AnswerForms& forms = AnswerForms())
{
    return snmpAnswer(kSysDescrOid, element, 0x1234, "public", forms);
}

std::string digits300()
{
    std::string s;
    while (s.size() < 300)
        s += "0123456789";
    return s;
}

} // namespace

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
        {"a message without bindings", kNoBinding, {}},
        {"no bytes", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto m = hexBytes(c.hex);
        EXPECT_EQ(SNMPMessage::extractAllOIDPositionAndLengthFromMessage(&m), c.found);
    }
    EXPECT_TRUE(SNMPMessage::extractAllOIDPositionAndLengthFromMessage(nullptr).empty());
}

TEST(SNMPMessageParser, LocatesTheFirstBindingByTheMessageStructure)
{
    // Full positions, and what the 8-bit out-values of the worker's calling
    // order get (nothing written: they keep AA BB CC).
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        std::optional<Location> full;
        Location written;
    } cases[] = {
        {"the binding at 26", hexBytes(kReply72), Location{28, 29, 8}, {28, 29, 8}},
        {"a community that looks like a binding is passed over",
         hexBytes("30 2A 02 01 00 04 05 30 05 06 01 2B A2 1E 02 02 12 34 02 01 00 02 01 00 30 12"
                  "30 10 06 08 2B 06 01 02 01 01 07 00 04 04 41 42 43 44"),
         Location{28, 29, 8}, {28, 29, 8}},
        {"bytes that are no message: the scan's first", hexBytes("30 0C 06 08 2B 06 01 02 01 01 05 00 05 00"),
         Location{2, 3, 8}, {2, 3, 8}},
        {"the OID length byte at 255", bindingAt(255), Location{254, 255, 8}, {254, 255, 8}},
        {"the OID length byte at 256: beyond an 8-bit position", bindingAt(256), Location{255, 256, 8},
         {0xAA, 0xBB, 0xCC}},
        {"no binding", hexBytes(kNoBinding), std::nullopt, {0xAA, 0xBB, 0xCC}},
        {"no bytes", {}, std::nullopt, {0xAA, 0xBB, 0xCC}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(SNMPMessage::firstBindingLocation(&c.bytes), c.full);
        uint8_t pos = 0xAA, lenIdx = 0xBB;
        uint64_t len = 0xCC;
        SNMPMessage::extractOIDPositionAndLengthFromMessage(&c.bytes, pos, lenIdx, len);
        EXPECT_EQ((Location{pos, lenIdx, len}), c.written);
    }
    EXPECT_EQ(SNMPMessage::firstBindingLocation(nullptr), std::nullopt);
    uint8_t pos = 0xAA, lenIdx = 0xBB;
    uint64_t len = 0xCC;
    SNMPMessage::extractOIDPositionAndLengthFromMessage(nullptr, pos, lenIdx, len);
    EXPECT_EQ((Location{pos, lenIdx, len}), (Location{0xAA, 0xBB, 0xCC}));
}

// Every value kind, in every length form, alone after a filler byte (index 1)
// or as the first binding of a whole answer (index after its OID): the text
// with its type code, and the text of the form without one.
TEST(SNMPMessageParser, RendersEveryValueKindInEveryLengthForm)
{
    using P = AnswerPart;
    const std::string text200(200, 't');
    const std::string text300 = digits300();
    const auto integer42 = berInteger(42);
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        std::optional<std::string> typed;
        uint8_t type;
        std::optional<std::string> untyped;
    } cases[] = {
        {"INTEGER 72", value("02 01 48"), "72", 2, "72"},
        {"INTEGER -1", value("02 01 FF"), "-1", 2, "-1"},
        {"INTEGER 255 with its sign byte", value("02 02 00 FF"), "255", 2, "255"},
        {"INTEGER minimum", value("02 04 80 00 00 00"), "-2147483648", 2, "-2147483648"},
        {"INTEGER maximum", value("02 04 7F FF FF FF"), "2147483647", 2, "2147483647"},
        {"INTEGER keeps its last four bytes", value("02 05 01 00 00 00 07"), "7", 2, "7"},
        {"INTEGER of no bytes is 0, not the next byte's sign", value("02 00 80"), "0", 2, "0"},
        {"INTEGER cut off", value("02 03 01 02"), std::nullopt, 2, std::nullopt},
        {"OCTET STRING with control bytes as hex", value("04 06 00 1B 2C 3D 4E 5F"), "00-1B-2C-3D-4E-5F", 4,
         "00-1B-2C-3D-4E-5F"},
        {"OCTET STRING one control byte", value("04 01 1F"), "1F", 4, "1F"},
        {"OCTET STRING 0x20 is text", value("04 03 41 20 42"), "A B", 4, "A B"},
        {"OCTET STRING text", value("04 02 41 42"), "AB", 4, "AB"},
        {"OCTET STRING UTF-8", value("04 02 C3 A9"), "\xC3\xA9", 4, "\xC3\xA9"},
        {"OCTET STRING not UTF-8", value("04 02 C3 28"), "    c328", 4, "    c328"},
        {"OCTET STRING control byte before UTF-8 check", value("04 02 FF 0A"), "FF-0A", 4, "FF-0A"},
        {"OCTET STRING lone high bytes", value("04 03 80 FE 21"), "    80fe21", 4, "    80fe21"},
        {"OCTET STRING empty, more bytes following", value("04 00 05 00"), "", 4, ""},
        {"OCTET STRING empty at the end: too short before the tag is looked at", value("04 00"), std::nullopt, 5,
         std::nullopt},
        {"OCTET STRING claiming more than present", value("04 09 41 42"), std::nullopt, 4, std::nullopt},
        {"NULL", value("05 00 00"), std::nullopt, 5, std::nullopt},
        {"OBJECT IDENTIFIER", value("06 08 2B 06 01 02 01 01 02 00"), "1.3.6.1.2.1.1.2.0", 6, "1.3.6.1.2.1.1.2.0"},
        {"OBJECT IDENTIFIER with a multi-byte arc", value("06 08 2B 06 01 04 01 81 80 00"), "1.3.6.1.4.1.16384", 6,
         "1.3.6.1.4.1.16384"},
        {"OBJECT IDENTIFIER of two- and three-byte arcs", value("06 05 2B FF 7F 81 48"), "1.3.16383.200", 6,
         "1.3.16383.200"},
        {"OBJECT IDENTIFIER with leading 80 groups", value("06 04 2B 80 80 01"), "1.3.1", 6, "1.3.1"},
        {"OBJECT IDENTIFIER not under 1.3", value("06 02 2C 01"), "0.0.1", 6, "0.0.1"},
        {"OBJECT IDENTIFIER whose first byte is taken alone", value("06 02 81 01"), "0.0.1", 6, "0.0.1"},
        {"OBJECT IDENTIFIER arc 2^32-1 unsigned", value("06 06 2B 8F FF FF FF 7F"), "1.3.4294967295", 6,
         "1.3.4294967295"},
        {"OBJECT IDENTIFIER arc beyond 32 bits", value("06 07 2B 90 80 80 80 00 00"), std::nullopt, 6, std::nullopt},
        {"OBJECT IDENTIFIER unclosed arc", value("06 03 2B 81 80"), std::nullopt, 6, std::nullopt},
        {"OBJECT IDENTIFIER empty", value("06 00 00"), std::nullopt, 6, std::nullopt},
        {"OBJECT IDENTIFIER cut off", value("06 09 2B 06 01"), std::nullopt, 6, std::nullopt},
        {"IpAddress", value("40 04 C0 00 02 01"), "192.0.2.1", 5, "192.0.2.1"},
        {"IpAddress whatever its length says", value("40 00 C0 00 02 01"), "192.0.2.1", 5, "192.0.2.1"},
        {"IpAddress cut off", value("40 04 C0 00 02"), std::nullopt, 5, std::nullopt},
        {"Counter above 2^31 unsigned", value("41 04 FF FF FF FF"), "4294967295", 5, ""},
        {"Gauge", value("42 01 05"), "5", 5, ""},
        {"TimeTicks", value("43 04 00 01 E2 40"), "123456", 5, ""},
        {"TimeTicks above 2^31", value("43 04 80 00 00 00"), "2147483648", 5, ""},
        {"TimeTicks cut off", value("43 04 00 01"), std::nullopt, 5, ""},
        {"APPLICATION 7", value("47 02 01 00"), "256", 5, ""},
        {"Opaque is not rendered", value("44 01 00"), "", 5, ""},
        {"a context tag is not rendered", value("A2 01 00"), "", 5, ""},
        // Long forms of the value's own length: 81 to 84, also where fewer bytes would do.
        {"81 n", value("04 81 02 41 42"), "AB", 4, "AB"},
        {"81 80: 128 bytes", value(berOctets(std::string(128, 'x'), 1)), std::string(128, 'x'), 4,
         std::string(128, 'x')},
        {"82 n n", value("04 82 00 02 41 42"), "AB", 4, "AB"},
        {"82 01 2C: 300 bytes", value(berOctets(text300)), text300, 4, text300},
        {"83 n n n", value("04 83 00 00 02 41 42"), "AB", 4, "AB"},
        {"84 n n n n", value("04 84 00 00 00 02 41 42"), "AB", 4, "AB"},
        {"INTEGER 81", value("02 81 01 FF"), "-1", 2, "-1"},
        {"INTEGER 83", value("02 83 00 00 01 2A 00"), "42", 2, "42"},
        {"TimeTicks 82", value("43 82 00 04 00 01 E2 40"), "123456", 5, ""},
        {"a long form claiming more than present", value("04 81 03 41 42"), std::nullopt, 4, std::nullopt},
        {"84 FF FF FF FF claims more than present", value("04 84 FF FF FF FF 41"), std::nullopt, 4, std::nullopt},
        {"82 cut short", value("04 82 00"), std::nullopt, 4, std::nullopt},
        {"83 cut short", value("04 83 00 00"), std::nullopt, 4, std::nullopt},
        {"84 cut short", value("04 84 00 00 00"), std::nullopt, 4, std::nullopt},
        {"81 with nothing after it", value("04 81"), std::nullopt, 5, std::nullopt},
        {"the indefinite form", value("04 80 41 42 00 00"), std::nullopt, 4, std::nullopt},
        {"more length bytes than 32 bits need", value("04 85 00 00 00 00 02 41 42"), std::nullopt, 4, std::nullopt},
        {"FF is no length", value("04 FF 41 42"), std::nullopt, 4, std::nullopt},
        {"81 00, empty and the message's last element", value("04 81 00"), std::nullopt, 5, std::nullopt},
        // Whole answers: the binding at 26 that ends the message (value index
        // 38), then lengths in a wider long form anywhere.
        {"answer: the binding at 26", hexBytes(kReply72), "72", 2, "72"},
        {"answer: INTEGER 84", answer(berInteger(-2, 0x02, 4)), "-2", 2, "-2"},
        {"answer: 200 bytes 84", answer(berOctets(text200, 4)), text200, 4, text200},
        {"answer: 300 bytes 83", answer(berOctets(text300, 3)), text300, 4, text300},
        {"answer: control bytes 83", answer(berOctets(std::string("\x00\x1B", 2), 3)), "00-1B", 4, "00-1B"},
        {"answer: OBJECT IDENTIFIER 83", answer(berElement(0x06, kSysDescrOid, 3)), "1.3.6.1.2.1.1.1.0", 6,
         "1.3.6.1.2.1.1.1.0"},
        {"answer: IpAddress 83", answer(hexBytes("40 83 00 00 04 C0 00 02 01")), "192.0.2.1", 5, "192.0.2.1"},
        {"answer: Counter 83", answer(hexBytes("41 83 00 00 01 07")), "7", 5, ""},
        {"answer: TimeTicks 84", answer(berUnsigned(0x43, 123456, 4)), "123456", 5, ""},
        {"answer: APPLICATION 7 83", answer(hexBytes("47 83 00 00 01 07")), "7", 5, ""},
        {"answer: binding sequence 84", answer(integer42, AnswerForms().wide(P::Binding, 4)), "42", 2, "42"},
        {"answer: binding OID 83", answer(integer42, AnswerForms().wide(P::Oid, 3)), "42", 2, "42"},
        {"answer: binding list 84", answer(integer42, AnswerForms().wide(P::BindingList, 4)), "42", 2, "42"},
        {"answer: message 83", answer(integer42, AnswerForms().wide(P::Message, 3)), "42", 2, "42"},
        {"answer: version 84", answer(integer42, AnswerForms().wide(P::Version, 4)), "42", 2, "42"},
        {"answer: community 83", answer(integer42, AnswerForms().wide(P::Community, 3)), "42", 2, "42"},
        {"answer: PDU 84", answer(integer42, AnswerForms().wide(P::Pdu, 4)), "42", 2, "42"},
        {"answer: request id 83", answer(integer42, AnswerForms().wide(P::RequestId, 3)), "42", 2, "42"},
        {"answer: error status 84", answer(integer42, AnswerForms().wide(P::ErrorStatus, 4)), "42", 2, "42"},
        {"answer: error index 83", answer(integer42, AnswerForms().wide(P::ErrorIndex, 3)), "42", 2, "42"},
        {"answer: every length 81", answer(berInteger(42, 0x02, 1), allWide(1)), "42", 2, "42"},
        {"answer: every length 84", answer(berInteger(42, 0x02, 4), allWide(4)), "42", 2, "42"},
        // Not a whole message (the scan finds the binding), so still read.
        {"answer in the indefinite form",
         hexBytes("30 80 02 01 00 04 06 70 75 62 6C 69 63 A2 19 02 02 12 34 02 01 00 02 01 00"
                  "30 0D 30 0B 06 08 2B 06 01 02 01 01 01 00 02 01 2A 00 00"),
         "42", 2, "42"},
        {"answer: value in the indefinite form", answer(hexBytes("04 80 68 69 00 00")), std::nullopt, 4,
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + "\n" + hexDump(c.bytes));
        uint64_t index = 1;
        if (c.bytes[0] == 0x30) {
            const auto at = SNMPMessage::firstBindingLocation(&c.bytes);
            ASSERT_TRUE(at);
            EXPECT_EQ((*at)[2], kSysDescrOid.size());
            index = (*at)[1] + (*at)[2] + 1;
        }
        uint8_t type = 0xEE;
        EXPECT_EQ(SNMPMessage::extractValueStringFromMessage(&c.bytes, index, type), c.typed);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(SNMPMessage::extractValueStringFromMessage(&c.bytes, index), c.untyped);
    }
}

TEST(SNMPMessageParser, AnswersNoneForAnIndexOutsideTheMessage)
{
    const auto m = hexBytes("99 02 01 48");
    for (uint64_t i : {uint64_t{0}, uint64_t{2}, uint64_t{3}, uint64_t{4}, uint64_t{1000},
                       std::numeric_limits<uint64_t>::max()}) {
        uint8_t type = 0;
        EXPECT_EQ(SNMPMessage::extractValueStringFromMessage(&m, i, type), std::nullopt) << i;
        EXPECT_EQ(type, 5) << i;
        EXPECT_EQ(SNMPMessage::extractValueStringFromMessage(&m, i), std::nullopt) << i;
        EXPECT_EQ(SNMPMessage::extractValueDataFromMessage(&m, i), std::nullopt) << i;
    }
    uint8_t type = 0;
    EXPECT_EQ(SNMPMessage::extractValueStringFromMessage(nullptr, 1, type), std::nullopt);
    EXPECT_EQ(type, 5);
    EXPECT_EQ(SNMPMessage::extractValueDataFromMessage(nullptr, 1), std::nullopt);
}

TEST(SNMPMessageParser, HandsBackAValuesContentBytesWhateverTheTag)
{
    struct Case {
        const char* hex;
        std::optional<std::vector<uint8_t>> bytes;
    } cases[] = {
        {"04 02 41 42", hexBytes("41 42")},
        {"43 04 00 01 E2 40", hexBytes("00 01 E2 40")},
        {"05 00", std::vector<uint8_t>{}},
        {"04 82 00 02 41 42", hexBytes("41 42")},
        {"04 83 00 00 02 41 42", hexBytes("41 42")},
        {"04 84 00 00 00 02 41 42", hexBytes("41 42")},
        {"04 05 41", std::nullopt},
        {"04", std::nullopt},
        {"04 80 41 42 00 00", std::nullopt},
    };
    for (const Case& c : cases) {
        const auto m = value(c.hex);
        EXPECT_EQ(SNMPMessage::extractValueDataFromMessage(&m, 1), c.bytes) << c.hex;
    }
}

TEST(SNMPMessageParser, ReadsTheRequestIdOfAWholeMessageOnly)
{
    using P = AnswerPart;
    const auto integer42 = berInteger(42);
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        std::optional<int64_t> id;
    } cases[] = {
        {"two bytes", hexBytes(kReply72), 0x0201},
        {"negative", hexBytes("30 0F 02 01 00 04 01 70 A2 07 02 02 F0 0D 02 01 00"), -4083},
        {"the message in 81 n", hexBytes("30 81 0F 02 01 00 04 01 70 A2 07 02 02 12 34 02 01 00"), 0x1234},
        {"cut after it", hexBytes("30 0F 02 01 00 04 01 70 A2 07 02 02 12 34 02"), 0x1234},
        {"every length 84", answer(berInteger(42, 0x02, 4), allWide(4)), 0x1234},
        {"the message 84", answer(integer42, AnswerForms().wide(P::Message, 4)), 0x1234},
        {"the community 83", answer(integer42, AnswerForms().wide(P::Community, 3)), 0x1234},
        {"the request id 83", answer(integer42, AnswerForms().wide(P::RequestId, 3)), 0x1234},
        {"the request id 84", answer(integer42, AnswerForms().wide(P::RequestId, 4)), 0x1234},
        {"an empty INTEGER", hexBytes("30 0F 02 01 00 04 01 70 A2 07 02 00 02 01 00 02 01"), std::nullopt},
        {"no PDU", hexBytes("30 0F 02 01 00 04 01 70 30 07 02 02 12 34 02 01 00"), std::nullopt},
        {"cut inside the id", hexBytes("30 0F 02 01 00 04 01 70 A2 07 02 02 12"), std::nullopt},
        // The indefinite form is no length: the message cannot be walked to
        // its request id, and the worker drops it as someone else's.
        {"the message in the indefinite form",
         hexBytes("30 80 02 01 00 04 06 70 75 62 6C 69 63 A2 19 02 02 12 34 02 01 00 02 01 00"
                  "30 0D 30 0B 06 08 2B 06 01 02 01 01 01 00 02 01 2A 00 00"),
         std::nullopt},
        {"one byte", hexBytes("30"), std::nullopt},
        {"no bytes", {}, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SNMPMessage::extractRequestIdFromMessage(&c.bytes), c.id) << c.what;
    EXPECT_EQ(SNMPMessage::extractRequestIdFromMessage(nullptr), std::nullopt);
}

TEST(SNMPMessageParser, TurnsOidBytesIntoDottedText)
{
    const auto bytes = hexBytes("2B 06 01 04 01 81 80 00");
    EXPECT_EQ(SNMPMessage::convertOIDDataToString(&bytes), "1.3.6.1.4.1.16384");
    const auto first = hexBytes("2B");
    EXPECT_EQ(SNMPMessage::convertOIDDataToString(&first), "1.3");
    const std::vector<uint8_t> none;
    EXPECT_EQ(SNMPMessage::convertOIDDataToString(&none), std::nullopt);
    EXPECT_EQ(SNMPMessage::convertOIDDataToString(nullptr), std::nullopt);
}

// What the five wrappers leave, each starting from "keep": sysID, the value's
// bytes, its text, the next-OID form's OID and text, and the all-strings
// pairs (appended to one earlier pair); "!" marks a wrapper that answered false.
std::string wrappersLeave(const std::vector<uint8_t>* message, const std::optional<std::string>& community)
{
    std::string sysID = "keep", text = "keep", oid = "keep", oidText = "keep";
    std::vector<uint8_t> data{0x99};
    std::vector<std::string> oids{"earlier"}, values{"earlier"};
    SNMPMessage::extractSysIDFromMsg(message, sysID);
    const bool dataOk = SNMPMessage::extractDataFromMsg(message, community, data);
    const bool textOk = SNMPMessage::extractStringFromMsg(message, community, text);
    const bool nextOk = SNMPMessage::extractStringFromMsg(message, community, oid, oidText);
    SNMPMessage::extractAllStringsFromMsg(message, community, oids, values);
    std::string all;
    for (std::size_t k = 0; k < oids.size() && k < values.size(); ++k)
        all += " " + oids[k] + "=" + values[k];
    return "sysID=" + sysID + " data=" + (dataOk ? "" : "!") + hexDump(data) + " text=" + (textOk ? "" : "!") +
           text + " next=" + (nextOk ? "" : "!") + oid + "/" + oidText + " all:" + all;
}

TEST(SNMPMessageParser, WrappersReadTheFirstBindingOrStoreNothing)
{
    const auto two = hexBytes(kReplyTwo);
    const auto none = hexBytes(kNoBinding);
    // 1.3.6.1.2.1.1.5.0 = NULL, and the same whose OID claims 0x40 bytes.
    const auto nullValue = hexBytes("30 0C 06 08 2B 06 01 02 01 01 05 00 05 00");
    const auto oidPastEnd = hexBytes("30 0C 06 40 2B 06 01");
    const auto beyond = bindingAt(256);
    struct Case {
        const char* what;
        const std::vector<uint8_t>* message;
        std::optional<std::string> community;
        std::string leaves;
    } cases[] = {
        {"two bindings", &two, kCommunity,
         "sysID=Printer data=0000: 50 72 69 6E 74 65 72 text=Printer next=1.3.6.1.2.1.1.5.0/Printer"
         " all: earlier=earlier 1.3.6.1.2.1.1.5.0=Printer 1.3.6.1.2.1.1.7.0=72"},
        {"a community other than the message's", &two, std::string("other"),
         "sysID=Printer data=0000: 50 72 69 6E 74 65 72 text=Printer next=1.3.6.1.2.1.1.5.0/Printer"
         " all: earlier=earlier 1.3.6.1.2.1.1.5.0=Printer 1.3.6.1.2.1.1.7.0=72"},
        {"no community", &two, std::nullopt,
         "sysID=Printer data=!0000: 99 text=!keep next=!keep/keep all: earlier=earlier"},
        {"no message", nullptr, kCommunity, "sysID=keep data=!0000: 99 text=!keep next=!keep/keep all: earlier=earlier"},
        {"no binding", &none, kCommunity, "sysID= data=!0000: 99 text=!keep next=!keep/keep all: earlier=earlier"},
        {"a NULL value: the next-OID form keeps the OID", &nullValue, kCommunity,
         "sysID= data=(empty) text=!keep next=!1.3.6.1.2.1.1.5.0/keep all: earlier=earlier 1.3.6.1.2.1.1.5.0="},
        {"an OID running past the end is not taken out", &oidPastEnd, kCommunity,
         "sysID= data=!0000: 99 text=!keep next=!keep/keep all: earlier=earlier ="},
        {"beyond an 8-bit position only the all-strings form reads", &beyond, kCommunity,
         "sysID= data=!0000: 99 text=!keep next=!keep/keep all: earlier=earlier 1.3.6.1.2.1.1.5.0="},
    };
    for (const Case& c : cases)
        EXPECT_EQ(wrappersLeave(c.message, c.community), c.leaves) << c.what;
}

TEST(SNMPMessageParser, ReadsBackWhatTheBuilderWrote)
{
    const std::vector<std::string> oids = {
        "1.3.6.1.2.1.1.5.0", "1.3.6.1.4.1.2699.1.2.1.2.1.1.2.1", "1.3.2147483647.0.16384", "1.3", "0.0.1",
    };
    for (std::size_t communityBytes : {std::size_t{0}, std::size_t{6}, std::size_t{120}}) {
        SCOPED_TRACE(communityBytes);
        SNMPMessage m;
        m.setVersion(0);
        ASSERT_TRUE(m.setCommunityString(std::string(communityBytes, 'c')));
        m.setPdu(0xA0, 0);
        m.setRequestId({0x34, 0x12}, 0x02, 2);
        m.setError(0);
        m.setErrorIndex(0);
        m.setMessageSequenceLength(0);
        m.setVarbindListSequenceLength(0);
        m.setVarbindSequenceLength(0);
        ASSERT_TRUE(m.setVarbindOidsWithNilValues(oids));
        m.writeSnmpMessageToData();
        const std::vector<uint8_t>& bytes = *m.data();
        std::vector<std::string> oidTexts, values;
        SNMPMessage::extractAllStringsFromMsg(&bytes, kCommunity, oidTexts, values);
        EXPECT_EQ(oidTexts, oids) << hexDump(bytes);
        EXPECT_EQ(values, std::vector<std::string>(oids.size(), ""));
        EXPECT_EQ(SNMPMessage::extractRequestIdFromMessage(&bytes), 0x3412);
    }
}
