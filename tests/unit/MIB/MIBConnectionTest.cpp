#include "HexDump.h"
#include "MIBConnection.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

const std::string kSysName = "1.3.6.1.2.1.1.5.0";

// The GetRequest for sysName, community "public", request id 258.
const char* const kGetSysName =
    "30 27 02 01 00 04 06 70 75 62 6C 69 63 A0 1A 02 02 02 01 02 01 00 02 01 00"
    "30 0E 30 0C 06 08 2B 06 01 02 01 01 05 00 05 00";

} // namespace

TEST(MIBConnection, StartsFreshWithEmptyFieldsAndNoMessage)
{
    const MIBConnection c;
    EXPECT_EQ(c.reqType(), MIBConnection::kReqTypeNone);
    EXPECT_FALSE(c.requestIdentifier());
    EXPECT_FALSE(c.reqHostName());
    EXPECT_FALSE(c.reqCommunityName());
    EXPECT_EQ(c.reqUserData(), nullptr);
    EXPECT_EQ(c.replyInfo(), "");
    EXPECT_TRUE(c.replyArray().empty());
    EXPECT_EQ(c.baseVarbindObjectIdentifier(), "");
    EXPECT_TRUE(c.getRawDataCopy().empty());
    ASSERT_NE(c.msg().data(), nullptr);
    EXPECT_TRUE(c.msg().data()->empty());
}

TEST(MIBConnection, BuildsTheFortyOneByteGetRequest)
{
    MIBConnection c;
    ASSERT_TRUE(c.requestGenericWithSingleResponse(std::string("public"), nullptr, kSysName, 258));
    EXPECT_BYTES(hexBytes(kGetSysName), *c.msg().data());
    EXPECT_EQ(c.reqType(), MIBConnection::kReqTypeGeneric);
    EXPECT_EQ(c.requestIdentifier(), 258);
    EXPECT_TRUE(c.msg().isSnmpValid());
}

TEST(MIBConnection, PutsTheRequestIdLowByteFirst)
{
    struct Case {
        uint16_t id;
        const char* bytes;
    } cases[] = {{0x1234, "34 12"}, {0, "00 00"}, {0xFFFF, "FF FF"}, {0x00FF, "FF 00"}};
    for (const Case& c : cases) {
        MIBConnection conn;
        ASSERT_TRUE(conn.requestGenericWithSingleResponse(std::string("public"), nullptr, kSysName, c.id));
        const auto& d = *conn.msg().data();
        ASSERT_EQ(d.size(), 41u);
        EXPECT_BYTES(hexBytes(c.bytes), std::vector<uint8_t>(d.begin() + 17, d.begin() + 19)) << c.id;
    }
}

TEST(MIBConnection, BuildsOneRequestInItsLife)
{
    MIBConnection c;
    ASSERT_TRUE(c.requestGenericWithSingleResponse(std::string("public"), nullptr, kSysName, 258));
    EXPECT_FALSE(c.requestGenericWithSingleResponse(std::string("private"), nullptr, "1.3.6.1.2.1.1.2.0", 7));
    EXPECT_BYTES(hexBytes(kGetSysName), *c.msg().data());
    EXPECT_EQ(c.requestIdentifier(), 258);
}

TEST(MIBConnection, RefusesBadInputAndStaysUsed)
{
    const std::string tooLong(256, 'x');
    struct Case {
        const char* what;
        std::optional<std::string> community;
        std::optional<std::string> oid;
    } cases[] = {
        {"no community", std::nullopt, kSysName},
        {"an empty community", std::string(), kSysName},
        {"a community over 255 bytes", tooLong, kSysName},
        {"no OID", std::string("public"), std::nullopt},
        {"an empty OID", std::string("public"), std::string()},
        {"a two-digit first arc", std::string("public"), std::string("10.3.6")},
        {"a two-digit second arc", std::string("public"), std::string("1.30.6")},
        {"a first byte above 0xFF", std::string("public"), std::string("7.1.6")},
        {"an empty arc", std::string("public"), std::string("1.3..6")},
        {"a trailing dot", std::string("public"), std::string("1.3.6.")},
        {"an arc above 2^31-1", std::string("public"), std::string("1.3.6.2147483648")},
        {"a letter", std::string("public"), std::string("1.3.6.x")},
        {"a negative arc", std::string("public"), std::string("1.3.-6")},
        {"text over 255 characters", std::string("public"), "1.3" + std::string(253, '1')},
        {"a symbolic name", std::string("public"), std::string("sysName.0")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MIBConnection conn;
        EXPECT_FALSE(conn.requestGenericWithSingleResponse(c.community, nullptr, c.oid, 99));
        EXPECT_TRUE(conn.msg().data()->empty());
        EXPECT_EQ(conn.msg().varbindCount(), 0);
        EXPECT_EQ(conn.msg().communityString().length, 0u) << "nothing built";
        EXPECT_EQ(conn.reqType(), MIBConnection::kReqTypeGeneric);
        EXPECT_EQ(conn.requestIdentifier(), 99);
        // Used, whatever the first call answered.
        EXPECT_FALSE(conn.requestGenericWithSingleResponse(std::string("public"), nullptr, kSysName, 100));
        EXPECT_TRUE(conn.msg().data()->empty());
        EXPECT_EQ(conn.requestIdentifier(), 99);
    }
}

TEST(MIBConnection, IgnoresTheUserData)
{
    int token = 5;
    MIBConnection with;
    ASSERT_TRUE(with.requestGenericWithSingleResponse(std::string("public"), &token, kSysName, 258));
    EXPECT_BYTES(hexBytes(kGetSysName), *with.msg().data());
    EXPECT_EQ(with.reqUserData(), nullptr);
}

TEST(MIBConnection, SendsLongAndNonAsciiCommunitiesWhole)
{
    struct Case {
        const char* what;
        std::string community;
        std::size_t size;
    } cases[] = {
        {"255 bytes, the most a one-byte length says", std::string(255, 'c'), 255 + 8 + 27 + 4},
        {"128 bytes", std::string(128, 'c'), 128 + 8 + 27 + 4},
        {"UTF-8 counted in bytes", "caf\xC3\xA9-\xE2\x82\xAC", 9 + 8 + 27},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MIBConnection conn;
        ASSERT_TRUE(conn.requestGenericWithSingleResponse(c.community, nullptr, kSysName, 1));
        const std::vector<uint8_t>& d = *conn.msg().data();
        EXPECT_EQ(d.size(), c.size) << hexDump(d);
        EXPECT_TRUE(conn.msg().isSnmpValid());
        ASSERT_TRUE(conn.msg().communityString().value);
        EXPECT_BYTES(std::vector<uint8_t>(c.community.begin(), c.community.end()),
                     *conn.msg().communityString().value);
        // The OID and its NULL close the datagram.
        EXPECT_BYTES(hexBytes("06 08 2B 06 01 02 01 01 05 00 05 00"), std::vector<uint8_t>(d.end() - 12, d.end()));
    }
}

TEST(MIBConnection, KeepsTheBytesForAHolderOfTheBuffer)
{
    std::shared_ptr<std::vector<uint8_t>> held;
    {
        MIBConnection c;
        ASSERT_TRUE(c.requestGenericWithSingleResponse(std::string("public"), nullptr, kSysName, 258));
        held = c.msg().data();
    }
    EXPECT_BYTES(hexBytes(kGetSysName), *held);
}
