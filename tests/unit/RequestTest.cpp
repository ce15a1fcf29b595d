#include "Request.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

TEST(Request, SnmpRequestCutsTheSevenFieldsAndThePieces)
{
    const auto cut = cutSnmpRequest(
        "9:argCount:4:iType:0:cancelFlag:/tmp/c:CancelFileName:1000:gSnmpTimeout:3:gSnmpRetries:1:rtnCharFlag:"
        "p0:arg::arg:p2:arg:");
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->argCount, 9);
    EXPECT_EQ(cut->iType, 4);
    ASSERT_TRUE(cut->cancelFlag);
    EXPECT_EQ(*cut->cancelFlag, 0);
    EXPECT_EQ(cut->cancelFileName, "/tmp/c");
    EXPECT_EQ(cut->snmpTimeout, 1000);
    EXPECT_EQ(cut->snmpRetries, 3);
    EXPECT_EQ(cut->rtnCharFlag, 1);
    EXPECT_EQ(cut->pieces, (std::vector<std::string>{"p0", "", "p2"}));
}

TEST(Request, SnmpPiecesFollowTheClosingTagRule)
{
    const std::string head = "6:argCount:4:iType:NULL:cancelFlag:c:CancelFileName:0:gSnmpTimeout:0:gSnmpRetries:0:rtnCharFlag:";
    struct Case {
        std::string rest;
        std::vector<std::string> pieces;
    } cases[] = {
        {"", {}},
        {"a:arg:b:arg:", {"a", "b"}},
        {"a:arg:b", {"a"}},
        {"no tags at all", {}},
    };
    for (const auto& c : cases) {
        const auto cut = cutSnmpRequest(head + c.rest);
        ASSERT_TRUE(cut) << c.rest;
        EXPECT_EQ(cut->pieces, c.pieces) << c.rest;
        EXPECT_FALSE(cut->cancelFlag) << "NULL means no cancel flag";
    }
}

TEST(Request, SnmpRequestKeepsAtMost512Pieces)
{
    std::string request = "1:argCount:0:iType:0:cancelFlag:c:CancelFileName:0:gSnmpTimeout:0:gSnmpRetries:0:rtnCharFlag:";
    for (int i = 0; i < 600; ++i)
        request += std::to_string(i) + ":arg:";
    const auto cut = cutSnmpRequest(request);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->pieces.size(), kArgVectorSize);
    const ArgVector args = argVectorFrom(cut->pieces);
    EXPECT_EQ(args[511], "511");
}

TEST(Request, UndefinedRequestsCutToNothing)
{
    EXPECT_FALSE(cutSnmpRequest(""));
    EXPECT_FALSE(cutSnmpRequest("4:iType:0:cancelFlag:c:CancelFileName:0:gSnmpTimeout:0:gSnmpRetries:0:rtnCharFlag:"));
    // Tags out of order.
    EXPECT_FALSE(cutSnmpRequest("0:iType:1:argCount:0:cancelFlag:c:CancelFileName:0:gSnmpTimeout:0:gSnmpRetries:0:rtnCharFlag:"));
    EXPECT_FALSE(cutPlistWriteRequest("file:///tmp/x no tag"));
    EXPECT_FALSE(cutEchoRequest("127.0.0.1"));
    EXPECT_FALSE(cutCancelRequest("/tmp/x"));
}

TEST(Request, OtherLayoutsCutAtTheFirstOccurrenceOfTheirTags)
{
    const auto plist = cutPlistWriteRequest("file:///tmp/a.plist:AddURL:END<a>:AddURL:END</a>");
    ASSERT_TRUE(plist);
    EXPECT_EQ(plist->urlText, "file:///tmp/a.plist");
    EXPECT_EQ(plist->data, "<a>:AddURL:END</a>");

    const auto echo = cutEchoRequest("127.0.0.1:sIpAddr:END 1500ms");
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->ipAddress, "127.0.0.1");
    EXPECT_EQ(echo->timeoutMsec, 1500);

    const auto magic = cutMagicPacketRequest("NULL:ARGipAddressStr:00:11:22:33:44:55:ARGmacAddressStr:null:ARGpasswordStr:rest");
    ASSERT_TRUE(magic);
    EXPECT_FALSE(magic->ipAddress);
    EXPECT_EQ(magic->macAddress, "00:11:22:33:44:55");
    EXPECT_EQ(magic->password, "null") << "only the upper-case word means absent";

    EXPECT_EQ(cutCancelRequest("/tmp/c:CancelFileName:"), "/tmp/c");
}

TEST(Request, SnmpRepliesFollowStatusAndTheCallsOwnValueType)
{
    UResult integer;
    integer.setInteger(-5);
    UResult empty;
    UResult latin;
    const std::string bytes = "B\xC3\xBC\xFF";
    std::copy(bytes.begin(), bytes.end(), latin.bytes.begin());

    struct Case {
        int32_t status;
        uint8_t type;
        const UResult& result;
        StringForm form;
        std::string reply;
    } cases[] = {
        {-9780, 2, integer, StringForm::Utf8, "FALSE:rtn_ExitValue=-9780"},
        {-1, 4, empty, StringForm::Bytes, "FALSE:rtn_ExitValue=-1"},
        {0, 2, integer, StringForm::Utf8, "TRUE:uResult.integer=-5"},
        {0, 4, empty, StringForm::Utf8, "TRUE:uResult.string="},
        {0, 6, empty, StringForm::Bytes, "TRUE:uResult.string="},
        {0, 5, integer, StringForm::Utf8, "FALSE"},
        {0, 4, latin, StringForm::Utf8, "TRUE:uResult.string=(null)"},
        {0, 4, latin, StringForm::Bytes, "TRUE:uResult.string=B\xC3\x83\xC2\xBC\xC3\xBF"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(snmpReply(c.status, c.type, c.result, c.form), c.reply) << c.status << " " << int(c.type);
    EXPECT_EQ(statusReply(-1), "-1");
    EXPECT_EQ(boolReply(true), "TRUE");
}
