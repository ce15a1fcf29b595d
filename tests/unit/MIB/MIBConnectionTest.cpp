#include "HexDump.h"
#include "MIBConnection.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

const std::string kSysName = "1.3.6.1.2.1.1.5.0";

} // namespace

TEST(MIBConnection, StartsFreshWithNoRequestAndNoMessage)
{
    const MIBConnection c;
    EXPECT_EQ(c.reqType(), MIBConnection::kReqTypeNone);
    EXPECT_FALSE(c.requestIdentifier());
    EXPECT_TRUE(c.getRawDataCopy().empty());
    ASSERT_NE(c.msg().data(), nullptr);
    EXPECT_TRUE(c.msg().data()->empty());
}

// The message layout itself is the builder's; here: the request id low byte
// first, the user data ignored, and the bytes kept by whoever holds them.
TEST(MIBConnection, BuildsTheGetRequestWithTheRequestIdLowByteFirst)
{
    int userData = 5;
    struct Case {
        uint16_t id;
        const char* idBytes;
    } cases[] = {{258, "02 01"}, {0x1234, "34 12"}, {0, "00 00"}, {0xFFFF, "FF FF"}, {0x00FF, "FF 00"}};
    for (const Case& c : cases) {
        std::shared_ptr<std::vector<uint8_t>> held;
        {
            MIBConnection conn;
            ASSERT_TRUE(conn.requestGenericWithSingleResponse(std::string("public"), &userData, kSysName, c.id));
            EXPECT_EQ(conn.reqType(), MIBConnection::kReqTypeGeneric);
            EXPECT_EQ(conn.requestIdentifier(), c.id);
            held = conn.msg().data();
        }
        EXPECT_BYTES(hexBytes(std::string("30 27 02 01 00 04 06 70 75 62 6C 69 63 A0 1A 02 02 ") + c.idBytes +
                              "02 01 00 02 01 00 30 0E 30 0C 06 08 2B 06 01 02 01 01 05 00 05 00"),
                     *held);
    }
}

TEST(MIBConnection, BuildsOneRequestInItsLifeWhateverTheFirstCallAnswered)
{
    struct Case {
        const char* what;
        std::optional<std::string> community;
        std::optional<std::string> oid;
        bool built;
    } cases[] = {
        {"a request", std::string("public"), kSysName, true},
        {"no community", std::nullopt, kSysName, false},
        {"an empty community", std::string(), kSysName, false},
        {"a community over 255 bytes", std::string(256, 'x'), kSysName, false},
        {"no OID", std::string("public"), std::nullopt, false},
        {"an OID without an encoding", std::string("public"), std::string("1.3.6.x"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MIBConnection conn;
        EXPECT_EQ(conn.requestGenericWithSingleResponse(c.community, nullptr, c.oid, 99), c.built);
        const std::vector<uint8_t> first = *conn.msg().data();
        EXPECT_EQ(first.empty(), !c.built);
        EXPECT_EQ(conn.reqType(), MIBConnection::kReqTypeGeneric);
        EXPECT_EQ(conn.requestIdentifier(), 99);
        // Used: a second call answers no and changes nothing.
        EXPECT_FALSE(conn.requestGenericWithSingleResponse(std::string("private"), nullptr, kSysName, 100));
        EXPECT_BYTES(first, *conn.msg().data());
        EXPECT_EQ(conn.requestIdentifier(), 99);
    }
}
