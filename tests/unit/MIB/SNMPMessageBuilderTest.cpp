#include "HexDump.h"
#include "SNMPMessage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

const std::string kSysName = "1.3.6.1.2.1.1.5.0";
const std::string kSysServices = "1.3.6.1.2.1.1.7.0";

// Fills a message the way a GET request is built and writes it out.
std::vector<uint8_t> writeGet(SNMPMessage& m, const std::string& community, const std::vector<std::string>& oids)
{
    m.setMessageSequenceLength(0);
    m.setVersion(0);
    EXPECT_TRUE(m.setCommunityString(community));
    m.setPdu(0xA0, 0);
    m.setRequestId({0x02, 0x01}, 0x02, 2);
    m.setError(0);
    m.setErrorIndex(0);
    m.setVarbindListSequenceLength(0);
    m.setVarbindSequenceLength(0);
    EXPECT_TRUE(m.setVarbindOidsWithNilValues(oids));
    m.writeSnmpMessageToData();
    return *m.data();
}

std::vector<uint8_t> writeGet(const std::string& community, const std::vector<std::string>& oids)
{
    SNMPMessage m;
    return writeGet(m, community, oids);
}

std::vector<uint8_t> encodeOid(const std::string& oid, std::optional<uint64_t>& count)
{
    std::vector<uint8_t> bytes;
    count = SNMPMessage::copyOid(oid, bytes);
    if (!count)
        return {};
    EXPECT_EQ(bytes.size(), SNMPMessage::kOidBufferSize) << oid;
    return std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(*count));
}

} // namespace

TEST(SNMPMessageBuilder, StartsWithZeroRecordsNoVarbindsAndAnEmptyBuffer)
{
    SNMPMessage m;
    for (const SnmpVar* r : {&m.message(), &m.version(), &m.communityString(), &m.pdu(), &m.requestId(), &m.error(),
                             &m.errorIndex(), &m.varbindList(), &m.varbind()}) {
        EXPECT_EQ(r->type, 0);
        EXPECT_EQ(r->length, 0u);
        EXPECT_FALSE(r->value.has_value());
    }
    EXPECT_EQ(m.varbindCount(), 0);
    EXPECT_TRUE(m.varbindOids().empty());
    ASSERT_NE(m.data(), nullptr);
    EXPECT_TRUE(m.data()->empty());
    EXPECT_FALSE(m.isSnmpValid());
}

TEST(SNMPMessageBuilder, WritesTheGetRequestLayoutByteForByte)
{
    struct Case {
        const char* what;
        std::string community;
        std::vector<std::string> oids;
        const char* hex;
    } cases[] = {
        {"one binding", "public", {kSysName},
         "30 27 02 01 00 04 06 70 75 62 6C 69 63 A0 1A 02 02 02 01 02 01 00 02 01 00"
         "30 0E 30 0C 06 08 2B 06 01 02 01 01 05 00 05 00"},
        {"an empty community as 04 00", "", {kSysName},
         "30 21 02 01 00 04 00 A0 1A 02 02 02 01 02 01 00 02 01 00"
         "30 0E 30 0C 06 08 2B 06 01 02 01 01 05 00 05 00"},
        {"two bindings in list order", "public", {kSysName, kSysServices},
         "30 35 02 01 00 04 06 70 75 62 6C 69 63 A0 28 02 02 02 01 02 01 00 02 01 00 30 1C"
         "30 0C 06 08 2B 06 01 02 01 01 05 00 05 00 30 0C 06 08 2B 06 01 02 01 01 07 00 05 00"},
        {"a two-arc identifier", "p", {"1.3"},
         "30 1B 02 01 00 04 01 70 A0 13 02 02 02 01 02 01 00 02 01 00 30 07 30 05 06 01 2B 05 00"},
        {"no bindings at all", "p", {},
         "30 14 02 01 00 04 01 70 A0 0C 02 02 02 01 02 01 00 02 01 00 30 00"},
        {"a non-ASCII community as its whole UTF-8 bytes", "\xC3\xA9t\xC3\xA9", {"1.3"},
         "30 1F 02 01 00 04 05 C3 A9 74 C3 A9 A0 13 02 02 02 01 02 01 00 02 01 00 30 07 30 05 06 01 2B 05 00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_BYTES(hexBytes(c.hex), writeGet(c.community, c.oids));
    }
}

TEST(SNMPMessageBuilder, SwitchesToTheThreeByteLengthFormFrom128)
{
    struct Case {
        std::size_t communityBytes;
        const char* header;  // outer tag and length
        std::size_t size;
    } cases[] = {
        {94, "30 7F", 129},           // message length exactly 127
        {95, "30 82 00 80", 132},     // 128
        {200, "30 82 00 EB", 239},    // community length 200 itself in long form too
        {255, "30 82 01 22", 294},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.communityBytes);
        const auto bytes = writeGet(std::string(c.communityBytes, 'x'), {"1.3.6.1.2.1.1.2.0"});
        const auto header = hexBytes(c.header);
        ASSERT_EQ(bytes.size(), c.size) << hexDump(bytes);
        EXPECT_BYTES(header, std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(header.size())));
        // The community's own length: short form up to 127, 82 hh ll above.
        const std::size_t at = header.size() + 3;
        if (c.communityBytes <= 127) {
            EXPECT_EQ(bytes[at + 1], c.communityBytes);
        } else {
            EXPECT_BYTES(hexBytes("04 82 00"), std::vector<uint8_t>(bytes.begin() + static_cast<long>(at),
                                                                   bytes.begin() + static_cast<long>(at + 3)));
            EXPECT_EQ(bytes[at + 3], c.communityBytes);
        }
    }
}

TEST(SNMPMessageBuilder, RefusesACommunityOfMoreThan255BytesAndKeepsTheOldOne)
{
    SNMPMessage m;
    ASSERT_TRUE(m.setCommunityString("public"));
    EXPECT_FALSE(m.setCommunityString(std::string(256, 'x')));
    EXPECT_EQ(m.communityString().length, 6u);
    ASSERT_TRUE(m.communityString().value);
    EXPECT_BYTES(hexBytes("70 75 62 6C 69 63"), *m.communityString().value);
    // 128 two-byte characters are 256 bytes: measured in bytes, refused.
    std::string wide;
    for (int k = 0; k < 128; ++k)
        wide += "\xC3\xA9";
    EXPECT_FALSE(m.setCommunityString(wide));
}

TEST(SNMPMessageBuilder, EncodesIdentifiersArcByArcInBase128)
{
    struct Case {
        std::string oid;
        const char* hex;
    } cases[] = {
        {"1.3", "2B"},
        {"1.3.127", "2B 7F"},
        {"1.3.128", "2B 81 00"},
        {"1.3.16383", "2B FF 7F"},
        {"1.3.16384", "2B 81 80 00"},
        {"1.3.6.1.2.1.1.2.0", "2B 06 01 02 01 01 02 00"},
        {"1.3.6.1.4.1.2699.1.2.1.2.1.1.2.1", "2B 06 01 04 01 95 0B 01 02 01 02 01 01 02 01"},
        {"1.3.2147483647", "2B 87 FF FF FF 7F"},
        {"0.0", "00"},
        {"6.9", "F9"},       // 249, the largest first byte of two one-digit arcs
        {"2.5.0", "55 00"},
        {"1.3.0007", "2B 07"},  // leading zeros are digits like any other
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.oid);
        std::optional<uint64_t> count;
        const auto bytes = encodeOid(c.oid, count);
        ASSERT_TRUE(count);
        EXPECT_BYTES(hexBytes(c.hex), bytes);
        EXPECT_EQ(SNMPMessage::getVarbindOIDLength(c.oid), *count);
    }
}

TEST(SNMPMessageBuilder, RefusesIdentifiersThatHaveNoEncoding)
{
    const std::string longest = "1.3" + std::string() + [] {
        std::string s;
        while (s.size() < 252)
            s += ".1";
        return s;
    }();
    ASSERT_EQ(longest.size(), 255u);
    std::optional<uint64_t> count;
    encodeOid(longest, count);
    EXPECT_EQ(count, 127u) << "255 characters still fit the buffer";

    const char* refused[] = {
        "",       "1",        "1.",          "1.3.",          "13.6.1",         "1.36.1",     "7.0",
        "9.9.1",  "1.3..6",   ".1.3",        "1.3.6a",        "1.3.-1",         "1.3.+1",     " 1.3.6",
        "1.3.6 ", "1,3,6",    "a.b.c",       "1.3.2147483648", "1.3.99999999999999999999999", "1.3.6.",
        "1..3",   "1.3.6.\n",
    };
    for (const char* oid : refused) {
        SCOPED_TRACE(testing::PrintToString(std::string(oid)));
        std::vector<uint8_t> bytes;
        EXPECT_FALSE(SNMPMessage::copyOid(oid, bytes));
    }
    std::vector<uint8_t> bytes;
    EXPECT_FALSE(SNMPMessage::copyOid(longest + "1", bytes)) << "256 characters";
    EXPECT_FALSE(SNMPMessage::copyOid(std::string("1.3\0.6", 6), bytes)) << "embedded NUL";
}

TEST(SNMPMessageBuilder, SplitsSubIdentifiersIntoSevenBitGroupsMostSignificantFirst)
{
    struct Case {
        uint64_t value;
        const char* hex;
    } cases[] = {
        {0, "00"},
        {127, "7F"},
        {128, "81 00"},
        {200, "81 48"},
        {16383, "FF 7F"},
        {16384, "81 80 00"},
        {2147483647, "87 FF FF FF 7F"},
        {std::numeric_limits<uint64_t>::max(), "81 FF FF FF FF FF FF FF FF 7F"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        std::array<uint8_t, 10> out{};
        const uint64_t n = SNMPMessage::seventhBitHasMoreValue(c.value, out);
        ASSERT_LE(n, out.size());
        EXPECT_BYTES(hexBytes(c.hex), std::vector<uint8_t>(out.begin(), out.begin() + static_cast<long>(n)));
    }
}

TEST(SNMPMessageBuilder, CountsEncodedIdentifierBytesWithoutEncoding)
{
    EXPECT_EQ(SNMPMessage::getVarbindOIDLength(std::nullopt), 0u);
    EXPECT_EQ(SNMPMessage::getVarbindOIDLength(std::string("1.3.6.1.2.1.1.2.0")), 8u);
    EXPECT_EQ(SNMPMessage::getVarbindOIDLength(std::string("1.3.16384.200")), 6u);
    EXPECT_EQ(SNMPMessage::getVarbindOIDLength(std::string("")), 0u);
}

TEST(SNMPMessageBuilder, SizesAnElementWithItsOneOrThreeByteLengthField)
{
    struct Case {
        int32_t in, out;
    } cases[] = {
        {0, 2}, {1, 3}, {127, 129}, {128, 132}, {255, 259}, {65535, 65539},
        {std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::max()},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SNMPMessage::getTotalByteCount(c.in), c.out) << c.in;
}

TEST(SNMPMessageBuilder, WritesOneElementAsTagLengthAndContent)
{
    struct Case {
        const char* what;
        SnmpVar record;
        int64_t answer;
        const char* hex;
    } cases[] = {
        {"a sequence header of 127", {0x30, 127, std::nullopt}, 0, "30 7F"},
        {"a sequence header of 128", {0x30, 128, std::nullopt}, 0, "30 82 00 80"},
        {"a sequence header of 300", {0x30, 300, std::nullopt}, 0, "30 82 01 2C"},
        {"a PDU header keeps its bytes off the wire", {0xA1, 2, std::vector<uint8_t>{1, 2}}, 0, "A1 02"},
        {"NULL", {0x05, 0, std::nullopt}, 0, "05 00"},
        {"an INTEGER", {0x02, 2, std::vector<uint8_t>{0x12, 0x34}}, 0, "02 02 12 34"},
        {"content without bytes: header alone", {0x04, 3, std::nullopt}, -1, "04 03"},
        {"content shorter than its length: header alone", {0x04, 3, std::vector<uint8_t>{1}}, -1, "04 03"},
        {"a length beyond 65535: nothing", {0x30, 65536, std::nullopt}, -1, ""},
        {"a 65535 header", {0x30, 65535, std::nullopt}, 0, "30 82 FF FF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SNMPMessage m;
        EXPECT_EQ(m.copyVar(c.record), c.answer);
        EXPECT_BYTES(hexBytes(c.hex), *m.data());
    }
}

TEST(SNMPMessageBuilder, ChecksTheBufferSizeAgainstTheOuterLength)
{
    auto buffer = [](const char* head, std::size_t size) {
        auto b = hexBytes(head);
        b.resize(size, 0);
        return b;
    };
    struct Case {
        std::vector<uint8_t> bytes;
        bool valid;
    } cases[] = {
        {buffer("30 25", 39), true},
        {buffer("30 25", 38), false},
        {buffer("30 25", 40), false},
        {buffer("30 82 01 05", 265), true},
        {buffer("30 82 01 05", 264), false},
        {buffer("30 82 01 05", 266), false},
        {buffer("30 00", 2), true},
        {buffer("30 81 05", 8), true},  // the one-byte long form read as what it says
        {buffer("30 81 05", 9), false},
        {buffer("30 83 00 00 05", 10), true},  // wider long forms too, as the one length reader takes them
        {buffer("30 83 00 00 05", 9), false},
        {buffer("30 84 00 00 01 05", 267), true},
        {buffer("30 84 00 00 01 05", 266), false},
        {buffer("30 84 00 00 01 05", 268), false},
        {buffer("30 85 00 00 00 00 05", 12), false},
        {buffer("30 83 00 00", 4), false},
        {buffer("30 80", 2), false},
        {buffer("30 82 00", 3), false},  // too short for the length it announces
        {buffer("30 81", 2), false},
        {buffer("30", 1), false},
        {{}, false},
    };
    for (const Case& c : cases) {
        SNMPMessage m;
        m.setData(std::make_shared<std::vector<uint8_t>>(c.bytes));
        EXPECT_EQ(m.isSnmpValid(), c.valid) << hexDump(std::vector<uint8_t>(c.bytes.begin(),
                                                                           c.bytes.begin() + std::min<long>(5, static_cast<long>(c.bytes.size()))))
                                            << " size " << c.bytes.size();
    }
    SNMPMessage m;
    m.setData(nullptr);
    ASSERT_NE(m.data(), nullptr);
    EXPECT_FALSE(m.isSnmpValid());
}

TEST(SNMPMessageBuilder, ComputesEveryNestedLengthFromTheContentRecords)
{
    SNMPMessage m;
    writeGet(m, "public", {kSysName, "1.3.6.1.4.1.2699.1.2.1.2.1.1.2.1"});
    EXPECT_EQ(m.varbind().length, 19u);  // the last binding: OID of 15 bytes + NULL
    EXPECT_EQ(m.varbindList().length, 14u + 21u);
    EXPECT_EQ(m.pdu().length, 37u + 4u + 3u + 3u);
    EXPECT_EQ(m.message().length, 49u + 8u + 3u);
    EXPECT_EQ(m.data()->size(), 62u);
    EXPECT_TRUE(m.isSnmpValid());
}

TEST(SNMPMessageBuilder, WritesTheSameBytesEachTimeItSerialises)
{
    SNMPMessage m;
    const auto first = writeGet(m, "public", {kSysName, kSysServices});
    const auto held = m.data();
    m.writeSnmpMessageToData();
    EXPECT_BYTES(first, *m.data());
    EXPECT_EQ(held, m.data()) << "the same buffer is reused";
}

TEST(SNMPMessageBuilder, KeepsOnlyTheLastListOfVarbinds)
{
    SNMPMessage m;
    writeGet(m, "public", {kSysName, kSysServices});
    ASSERT_TRUE(m.setVarbindOidsWithNilValues({"1.3.6.1.2.1.1.2.0"}));
    m.writeSnmpMessageToData();
    EXPECT_EQ(m.varbindCount(), 1);
    ASSERT_EQ(m.varbindOids().size(), 1u);
    EXPECT_EQ(m.varbindValues().size(), 1u);
    EXPECT_BYTES(writeGet("public", {"1.3.6.1.2.1.1.2.0"}), *m.data());
}

TEST(SNMPMessageBuilder, GivesEveryOidRecordAFullBufferAndEveryValueANull)
{
    SNMPMessage m;
    ASSERT_TRUE(m.setVarbindOidsWithNilValues({kSysName, "1.3"}));
    ASSERT_EQ(m.varbindCount(), 2);
    EXPECT_EQ(m.varbindOids()[0].type, 0x06);
    EXPECT_EQ(m.varbindOids()[0].length, 8u);
    EXPECT_EQ(m.varbindOids()[1].length, 1u);
    for (const SnmpVar& oid : m.varbindOids()) {
        ASSERT_TRUE(oid.value);
        EXPECT_EQ(oid.value->size(), 256u);
        EXPECT_EQ((*oid.value)[oid.length], 0) << "zero-filled past the encoding";
    }
    for (const SnmpVar& v : m.varbindValues()) {
        EXPECT_EQ(v.type, 0x05);
        EXPECT_EQ(v.length, 0u);
        EXPECT_FALSE(v.value);
    }
}

TEST(SNMPMessageBuilder, RefusesAListWithOneBadOidAndKeepsNoVarbinds)
{
    SNMPMessage m;
    ASSERT_TRUE(m.setVarbindOidsWithNilValues({kSysName}));
    EXPECT_FALSE(m.setVarbindOidsWithNilValues({kSysName, "1.3.x", kSysServices}));
    EXPECT_EQ(m.varbindCount(), 0);
    EXPECT_TRUE(m.varbindOids().empty());
    EXPECT_TRUE(m.varbindValues().empty());
}

TEST(SNMPMessageBuilder, LeavesDataEmptyWhenARecordLacksItsContent)
{
    SNMPMessage m;
    writeGet(m, "public", {kSysName});
    // Two content bytes announced, one held: the bytes fall short of the length.
    m.setRequestId({0x01}, 0x02, 2);
    m.writeSnmpMessageToData();
    EXPECT_TRUE(m.data()->empty());
    EXPECT_FALSE(m.isSnmpValid());
}

TEST(SNMPMessageBuilder, LeavesDataEmptyWhenTheMessageOutgrowsTheLengthField)
{
    // One binding of a 127-byte OID takes 135 bytes: 485 of them still fit the
    // three-byte length field, 486 do not.
    const std::string oid = "1.3" + [] {
        std::string s;
        while (s.size() < 252)
            s += ".1";
        return s;
    }();
    SNMPMessage m;
    std::vector<std::string> oids(486, oid);
    writeGet(m, "public", oids);
    EXPECT_TRUE(m.data()->empty());

    oids.resize(485);
    ASSERT_TRUE(m.setVarbindOidsWithNilValues(oids));
    m.writeSnmpMessageToData();
    EXPECT_EQ(m.message().length, 65504u);
    EXPECT_EQ(m.data()->size(), 65508u);
    EXPECT_TRUE(m.isSnmpValid());
}

TEST(SNMPMessageBuilder, CopiesTheGivenBytesIntoARecordAndDropsThemWithoutAValue)
{
    SnmpVar r;
    const std::vector<uint8_t> bytes{1, 2, 3, 4};
    SNMPMessage::setSnmpVar(r, 0x04, 3, &bytes);
    EXPECT_EQ(r.type, 0x04);
    EXPECT_EQ(r.length, 3u);
    ASSERT_TRUE(r.value);
    EXPECT_BYTES(hexBytes("01 02 03"), *r.value);
    SNMPMessage::setSnmpVar(r, 0x30, 9);
    EXPECT_EQ(r.length, 9u);
    EXPECT_TRUE(r.value) << "tag and length only";
    SNMPMessage::setSnmpVar(r, 0x05, 0, nullptr);
    EXPECT_FALSE(r.value);
}
