#include "HexDump.h"
#include "SNMPMessage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

const std::string kSysName = "1.3.6.1.2.1.1.5.0";
const std::string kSysServices = "1.3.6.1.2.1.1.7.0";

// The longest OID text, 255 characters: 1.3 and 126 arcs of 1.
const std::string kLongestOid = [] {
    std::string s = "1.3";
    while (s.size() < 255)
        s += ".1";
    return s;
}();

// Fills a message the way a GET request is built (request id 02 01) and
// writes it out.
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
    // The bytes before the community, the community, and the bytes after it.
    const char* const kGetTail = "A0 1A 02 02 02 01 02 01 00 02 01 00 30 0E 30 0C 06 08 2B 06 01 02 01 01 02 00 05 00";
    struct Case {
        const char* what;
        std::string community;
        std::vector<std::string> oids;
        const char* head;
        const char* tail;
    } cases[] = {
        {"one binding", "public", {kSysName}, "30 27 02 01 00 04 06",
         "A0 1A 02 02 02 01 02 01 00 02 01 00 30 0E 30 0C 06 08 2B 06 01 02 01 01 05 00 05 00"},
        {"an empty community as 04 00", "", {kSysName}, "30 21 02 01 00 04 00",
         "A0 1A 02 02 02 01 02 01 00 02 01 00 30 0E 30 0C 06 08 2B 06 01 02 01 01 05 00 05 00"},
        {"two bindings in list order", "public", {kSysName, kSysServices}, "30 35 02 01 00 04 06",
         "A0 28 02 02 02 01 02 01 00 02 01 00 30 1C"
         "30 0C 06 08 2B 06 01 02 01 01 05 00 05 00 30 0C 06 08 2B 06 01 02 01 01 07 00 05 00"},
        {"a two-arc identifier", "p", {"1.3"}, "30 1B 02 01 00 04 01",
         "A0 13 02 02 02 01 02 01 00 02 01 00 30 07 30 05 06 01 2B 05 00"},
        {"no bindings at all", "p", {}, "30 14 02 01 00 04 01", "A0 0C 02 02 02 01 02 01 00 02 01 00 30 00"},
        {"a non-ASCII community as its whole UTF-8 bytes", "\xC3\xA9t\xC3\xA9", {"1.3"}, "30 1F 02 01 00 04 05",
         "A0 13 02 02 02 01 02 01 00 02 01 00 30 07 30 05 06 01 2B 05 00"},
        {"a message length of 127 in one byte", std::string(94, 'x'), {"1.3.6.1.2.1.1.2.0"}, "30 7F 02 01 00 04 5E",
         kGetTail},
        {"128 in 82 00 80", std::string(95, 'x'), {"1.3.6.1.2.1.1.2.0"}, "30 82 00 80 02 01 00 04 5F", kGetTail},
        {"a community of 200 in 82 00 C8", std::string(200, 'x'), {"1.3.6.1.2.1.1.2.0"},
         "30 82 00 EB 02 01 00 04 82 00 C8", kGetTail},
        {"a community of 255", std::string(255, 'x'), {"1.3.6.1.2.1.1.2.0"}, "30 82 01 22 02 01 00 04 82 00 FF",
         kGetTail},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto expected = hexBytes(c.head);
        expected.insert(expected.end(), c.community.begin(), c.community.end());
        const auto tail = hexBytes(c.tail);
        expected.insert(expected.end(), tail.begin(), tail.end());
        EXPECT_BYTES(expected, writeGet(c.community, c.oids));
    }
}

TEST(SNMPMessageBuilder, RefusesACommunityOfMoreThan255BytesAndKeepsTheOldOne)
{
    SNMPMessage m;
    ASSERT_TRUE(m.setCommunityString("public"));
    // 128 two-byte characters are 256 bytes: measured in bytes, refused.
    std::string wide;
    for (int k = 0; k < 128; ++k)
        wide += "\xC3\xA9";
    for (const std::string& community : {std::string(256, 'x'), wide}) {
        EXPECT_FALSE(m.setCommunityString(community));
        EXPECT_EQ(m.communityString().length, 6u);
        ASSERT_TRUE(m.communityString().value);
        EXPECT_BYTES(hexBytes("70 75 62 6C 69 63"), *m.communityString().value);
    }
}

// The helpers, each against known bytes: an OID's encoding (its count also
// what getVarbindOIDLength says, its buffer 256 bytes), a sub-identifier's
// 7-bit groups, and one element as copyVar appends it (with its answer).
TEST(SNMPMessageBuilder, HelpersWriteKnownBytes)
{
    struct Written {
        std::vector<uint8_t> bytes;
        int64_t answer = 0;
    };
    const auto oid = [](const std::string& text) {
        std::vector<uint8_t> buffer;
        const auto count = SNMPMessage::copyOid(text, buffer);
        if (!count)
            return Written{{}, -1};
        EXPECT_EQ(buffer.size(), SNMPMessage::kOidBufferSize) << text;
        EXPECT_EQ(SNMPMessage::getVarbindOIDLength(text), *count) << text;
        EXPECT_TRUE(std::all_of(buffer.begin() + static_cast<long>(*count), buffer.end(), [](uint8_t b) { return b == 0; }));
        return Written{std::vector<uint8_t>(buffer.begin(), buffer.begin() + static_cast<long>(*count))};
    };
    const auto groups = [](uint64_t v) {
        std::array<uint8_t, 10> out{};
        const uint64_t n = SNMPMessage::seventhBitHasMoreValue(v, out);
        return Written{std::vector<uint8_t>(out.begin(), out.begin() + static_cast<long>(std::min<uint64_t>(n, 10)))};
    };
    const auto element = [](const SnmpVar& record) {
        SNMPMessage m;
        const int64_t answer = m.copyVar(record);
        return Written{*m.data(), answer};
    };
    // 2B and 126 times 01.
    std::vector<uint8_t> longest(127, 0x01);
    longest[0] = 0x2B;
    struct Case {
        const char* what;
        Written got;
        const char* hex;  // nullptr: longest
        int64_t answer;
    } cases[] = {
        {"OID 1.3", oid("1.3"), "2B", 0},
        {"OID 1.3.127", oid("1.3.127"), "2B 7F", 0},
        {"OID 1.3.128", oid("1.3.128"), "2B 81 00", 0},
        {"OID 1.3.16383", oid("1.3.16383"), "2B FF 7F", 0},
        {"OID 1.3.16384", oid("1.3.16384"), "2B 81 80 00", 0},
        {"OID sysObjectID.0", oid("1.3.6.1.2.1.1.2.0"), "2B 06 01 02 01 01 02 00", 0},
        {"OID of a printer MIB", oid("1.3.6.1.4.1.2699.1.2.1.2.1.1.2.1"), "2B 06 01 04 01 95 0B 01 02 01 02 01 01 02 01",
         0},
        {"OID arc 2^31-1", oid("1.3.2147483647"), "2B 87 FF FF FF 7F", 0},
        {"OID 0.0", oid("0.0"), "00", 0},
        {"OID 6.9, the largest first byte of two one-digit arcs", oid("6.9"), "F9", 0},
        {"OID 2.5.0", oid("2.5.0"), "55 00", 0},
        {"OID with leading zeros", oid("1.3.0007"), "2B 07", 0},
        {"OID of 255 characters", oid(kLongestOid), nullptr, 0},
        {"group 0", groups(0), "00", 0},
        {"group 127", groups(127), "7F", 0},
        {"groups 128", groups(128), "81 00", 0},
        {"groups 200", groups(200), "81 48", 0},
        {"groups 16384", groups(16384), "81 80 00", 0},
        {"groups 2^64-1", groups(std::numeric_limits<uint64_t>::max()), "81 FF FF FF FF FF FF FF FF 7F", 0},
        {"a sequence header of 127", element({0x30, 127, std::nullopt}), "30 7F", 0},
        {"a sequence header of 128", element({0x30, 128, std::nullopt}), "30 82 00 80", 0},
        {"a sequence header of 300", element({0x30, 300, std::nullopt}), "30 82 01 2C", 0},
        {"a header of 65535", element({0x30, 65535, std::nullopt}), "30 82 FF FF", 0},
        {"a PDU header keeps its bytes off the wire", element({0xA1, 2, std::vector<uint8_t>{1, 2}}), "A1 02", 0},
        {"NULL", element({0x05, 0, std::nullopt}), "05 00", 0},
        {"an INTEGER", element({0x02, 2, std::vector<uint8_t>{0x12, 0x34}}), "02 02 12 34", 0},
        {"content without bytes: header alone", element({0x04, 3, std::nullopt}), "04 03", -1},
        {"content shorter than its length: header alone", element({0x04, 3, std::vector<uint8_t>{1}}), "04 03", -1},
        {"a length beyond 65535: nothing", element({0x30, 65536, std::nullopt}), "", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.got.answer, c.answer);
        if (c.hex)
            EXPECT_BYTES(hexBytes(c.hex), c.got.bytes);
        else
            EXPECT_BYTES(longest, c.got.bytes);
    }
    EXPECT_EQ(SNMPMessage::getVarbindOIDLength(std::nullopt), 0u);
    EXPECT_EQ(SNMPMessage::getVarbindOIDLength(std::string("")), 0u);

    // Element sizes: a one-byte length field up to 127, three bytes above.
    const std::pair<int32_t, int32_t> sizes[] = {
        {0, 2}, {127, 129}, {128, 132}, {65535, 65539}, {INT32_MAX, INT32_MAX}};
    for (const auto& [length, size] : sizes)
        EXPECT_EQ(SNMPMessage::getTotalByteCount(length), size) << length;
}

TEST(SNMPMessageBuilder, RefusesIdentifiersThatHaveNoEncoding)
{
    const char* refused[] = {
        "",       "1",          "1.",     "1.3.",   "13.6.1", "10.3.6",  "1.36.1", "1.30.6", "7.0",   "7.1.6",
        "9.9.1",  "1.3..6",     ".1.3",   "1.3.6a", "1.3.-1", "1.3.+1",  " 1.3.6", "1.3.6 ", "1,3,6", "a.b.c",
        "1.3.2147483648", "1.3.99999999999999999999999", "1.3.6.", "1..3", "1.3.6.\n", "sysName.0",
    };
    for (const std::string oid : refused) {
        SCOPED_TRACE(testing::PrintToString(oid));
        std::vector<uint8_t> bytes{7};
        EXPECT_FALSE(SNMPMessage::copyOid(oid, bytes));
        EXPECT_EQ(bytes, std::vector<uint8_t>{7}) << "untouched";
    }
    std::vector<uint8_t> bytes;
    EXPECT_FALSE(SNMPMessage::copyOid(kLongestOid + "1", bytes)) << "256 characters";
    EXPECT_FALSE(SNMPMessage::copyOid(std::string("1.3\0.6", 6), bytes)) << "embedded NUL";
}

TEST(SNMPMessageBuilder, ChecksTheBufferSizeAgainstTheOuterLength)
{
    struct Case {
        const char* head;
        std::size_t size;
        bool valid;
    } cases[] = {
        {"30 25", 39, true},
        {"30 25", 38, false},
        {"30 82 01 05", 265, true},
        {"30 82 01 05", 264, false},
        {"30 00", 2, true},
        {"30 81 05", 8, true},  // the one-byte long form read as what it says
        {"30 83 00 00 05", 10, true},  // wider long forms too, as the one length reader takes them
        {"30 84 00 00 01 05", 267, true},
        {"30 85 00 00 00 00 05", 12, false},
        {"30 83 00 00", 4, false},
        {"30 80", 2, false},
        {"30 82 00", 3, false},  // too short for the length it announces
        {"30", 1, false},
        {"", 0, false},
    };
    for (const Case& c : cases) {
        auto bytes = hexBytes(c.head);
        bytes.resize(c.size, 0);
        SNMPMessage m;
        m.setData(std::make_shared<std::vector<uint8_t>>(bytes));
        EXPECT_EQ(m.isSnmpValid(), c.valid) << c.head << " size " << c.size;
    }
    SNMPMessage m;
    m.setData(nullptr);
    ASSERT_NE(m.data(), nullptr);
    EXPECT_FALSE(m.isSnmpValid());
}

TEST(SNMPMessageBuilder, RewritesTheSameBufferFromTheLastListOfVarbinds)
{
    SNMPMessage m;
    const auto first = writeGet(m, "public", {kSysName, kSysServices});
    const auto held = m.data();
    m.writeSnmpMessageToData();
    EXPECT_BYTES(first, *m.data());
    EXPECT_EQ(held, m.data()) << "the same buffer is reused";

    ASSERT_TRUE(m.setVarbindOidsWithNilValues({"1.3.6.1.2.1.1.2.0"}));
    m.writeSnmpMessageToData();
    EXPECT_EQ(m.varbindCount(), 1);
    EXPECT_BYTES(hexBytes("30 27 02 01 00 04 06 70 75 62 6C 69 63 A0 1A 02 02 02 01 02 01 00 02 01 00"
                          "30 0E 30 0C 06 08 2B 06 01 02 01 01 02 00 05 00"),
                 *held);
}

TEST(SNMPMessageBuilder, GivesEveryOidRecordAFullBufferAndEveryValueANull)
{
    SNMPMessage m;
    ASSERT_TRUE(m.setVarbindOidsWithNilValues({kSysName, "1.3"}));
    ASSERT_EQ(m.varbindCount(), 2);
    ASSERT_EQ(m.varbindOids().size(), 2u);
    EXPECT_EQ(m.varbindOids()[0].type, 0x06);
    EXPECT_EQ(m.varbindOids()[0].length, 8u);
    EXPECT_EQ(m.varbindOids()[1].length, 1u);
    for (const SnmpVar& oid : m.varbindOids()) {
        ASSERT_TRUE(oid.value);
        EXPECT_EQ(oid.value->size(), 256u);
    }
    ASSERT_EQ(m.varbindValues().size(), 2u);
    for (const SnmpVar& v : m.varbindValues()) {
        EXPECT_EQ(v.type, 0x05);
        EXPECT_EQ(v.length, 0u);
        EXPECT_FALSE(v.value);
    }
    // One bad OID refuses the whole list and leaves no varbinds.
    EXPECT_FALSE(m.setVarbindOidsWithNilValues({kSysName, "1.3.x", kSysServices}));
    EXPECT_EQ(m.varbindCount(), 0);
    EXPECT_TRUE(m.varbindOids().empty());
    EXPECT_TRUE(m.varbindValues().empty());
}

TEST(SNMPMessageBuilder, LeavesDataEmptyWhenTheMessageCannotBeWrittenWhole)
{
    SNMPMessage m;
    writeGet(m, "public", {kSysName});
    // Two content bytes announced, one held: the bytes fall short of the length.
    m.setRequestId({0x01}, 0x02, 2);
    m.writeSnmpMessageToData();
    EXPECT_TRUE(m.data()->empty());
    EXPECT_FALSE(m.isSnmpValid());

    // One binding of a 127-byte OID takes 135 bytes: 485 of them still fit
    // the three-byte length field, 486 do not.
    std::vector<std::string> oids(486, kLongestOid);
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
