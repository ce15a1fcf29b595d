#include "Request.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

// The SNMP request as the tool writes it.
std::string snmpRequest(const std::string& iType, const std::string& cancelFlag, const std::string& file,
                        const std::string& timeout, const std::string& retries, const std::string& rtnCharFlag,
                        const std::vector<std::string>& pieces)
{
    std::string r = std::to_string(6 + pieces.size()) + ":argCount:" + iType + ":iType:" + cancelFlag +
                    ":cancelFlag:" + file + ":CancelFileName:" + timeout + ":gSnmpTimeout:" + retries +
                    ":gSnmpRetries:" + rtnCharFlag + ":rtnCharFlag:";
    for (const auto& p : pieces)
        r += p + ":arg:";
    return r;
}

UResult stringResult(const std::string& bytes)
{
    UResult u;
    std::memcpy(u.bytes.data(), bytes.data(), std::min(bytes.size(), u.bytes.size() - 1));
    return u;
}

}  // namespace

TEST(SnmpRequest, ToolLayoutCutsIntoItsFieldsAndPieces)
{
    const auto r = cutSnmpRequest(
        snmpRequest("4", "0", "/tmp/c", "1000", "2", "1", {"p0", "p1", "p2", "public", "p4", "p5", "127.0.0.1", "1.3.6.1"}));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->argCount, 14);
    EXPECT_EQ(r->iType, 4);
    EXPECT_EQ(r->cancelFlag, 0);
    EXPECT_EQ(r->cancelFileName, "/tmp/c");
    EXPECT_EQ(r->snmpTimeout, 1000);
    EXPECT_EQ(r->snmpRetries, 2);
    EXPECT_EQ(r->rtnCharFlag, 1);
    EXPECT_EQ(r->pieces, (std::vector<std::string>{"p0", "p1", "p2", "public", "p4", "p5", "127.0.0.1", "1.3.6.1"}));
    const ArgVector args = argVectorFrom(r->pieces);
    EXPECT_EQ(args[3], "public");
    EXPECT_EQ(args[6], "127.0.0.1");
    EXPECT_EQ(args[7], "1.3.6.1");
    EXPECT_EQ(args[8], std::nullopt);
}

TEST(SnmpRequest, RestIsCutAtEveryArgTagAndTheTextAfterTheLastIsDropped)
{
    const std::string head = "0:argCount:0:iType:NULL:cancelFlag:f:CancelFileName:0:gSnmpTimeout:0:gSnmpRetries:0:rtnCharFlag:";
    struct Case {
        std::string rest;
        std::vector<std::string> pieces;
    } cases[] = {
        {"", {}},
        {"x:arg:y:arg:", {"x", "y"}},
        {"x:arg:y:arg:z", {"x", "y"}},
        {"no tag at all", {}},
        {":arg::arg:", {"", ""}},
        {"a:arg::arg:c:arg:", {"a", "", "c"}},
        {":argCount:", {}},
        {"a:arg:b:ar", {"a"}},
    };
    for (const auto& c : cases) {
        const auto r = cutSnmpRequest(head + c.rest);
        ASSERT_TRUE(r) << c.rest;
        EXPECT_EQ(r->pieces, c.pieces) << c.rest;
    }
}

TEST(SnmpRequest, PiecesBeyondTheArgumentVectorAreDropped)
{
    std::vector<std::string> many;
    for (int i = 0; i < 600; ++i)
        many.push_back(std::to_string(i));
    const auto r = cutSnmpRequest(snmpRequest("0", "NULL", "f", "0", "0", "0", many));
    ASSERT_TRUE(r);
    ASSERT_EQ(r->pieces.size(), kArgVectorSize);
    EXPECT_EQ(r->pieces.back(), "511");
    const ArgVector args = argVectorFrom(r->pieces);
    EXPECT_EQ(args[511], "511");
}

TEST(SnmpRequest, CancelFlagNullIsNoFlagButOtherTextIsItsDecimalValue)
{
    struct Case {
        std::string text;
        std::optional<int32_t> flag;
    } cases[] = {
        {"NULL", std::nullopt}, {"0", 0}, {"1", 1}, {"null", 0}, {"", 0}, {" NULL", 0}, {"-3x", -3},
    };
    for (const auto& c : cases) {
        const auto r = cutSnmpRequest(snmpRequest("0", c.text, "f", "0", "0", "0", {}));
        ASSERT_TRUE(r) << c.text;
        EXPECT_EQ(r->cancelFlag, c.flag) << c.text;
    }
}

TEST(SnmpRequest, DecimalFieldsFollowTheLeadingNumberRule)
{
    struct Case {
        std::string text;
        int32_t value;
    } cases[] = {
        {"250", 250},  {"0", 0},     {"-5", -5},  {"", 0}, {"abc", 0},
        {"12ms", 12},  {"  +7", 7},  {"NULL", 0}, {"99999999999", std::numeric_limits<int32_t>::max()},
    };
    for (const auto& c : cases) {
        const auto r = cutSnmpRequest(snmpRequest(c.text, "0", "f", c.text, c.text, c.text, {}));
        ASSERT_TRUE(r) << c.text;
        EXPECT_EQ(r->iType, c.value) << c.text;
        EXPECT_EQ(r->snmpTimeout, c.value) << c.text;
        EXPECT_EQ(r->snmpRetries, c.value) << c.text;
        EXPECT_EQ(r->rtnCharFlag, c.value) << c.text;
    }
}

TEST(SnmpRequest, MissingOrMisorderedTagsCutToNothing)
{
    const std::string good = snmpRequest("2", "0", "f", "1", "1", "0", {"p"});
    ASSERT_TRUE(cutSnmpRequest(good));
    const std::string tags[] = {":argCount:", ":iType:", ":cancelFlag:", ":CancelFileName:",
                                ":gSnmpTimeout:", ":gSnmpRetries:", ":rtnCharFlag:"};
    for (const auto& tag : tags) {
        std::string without = good;
        without.erase(without.find(tag), tag.size());
        EXPECT_FALSE(cutSnmpRequest(without)) << "without " << tag;
    }
    EXPECT_FALSE(cutSnmpRequest(""));
    EXPECT_FALSE(cutSnmpRequest("0:iType:0:argCount:0:cancelFlag:f:CancelFileName:0:gSnmpTimeout:0:gSnmpRetries:0:rtnCharFlag:"));
    // A field holding a later tag of its own layout puts that tag out of order.
    EXPECT_FALSE(cutSnmpRequest(snmpRequest("0", "0", "a:rtnCharFlag:b", "0", "0", "0", {})));
    // Overlapping tags: ":iType:" and ":cancelFlag:" share a colon.
    EXPECT_FALSE(cutSnmpRequest("0:argCount:0:iType:cancelFlag:f:CancelFileName:0:gSnmpTimeout:0:gSnmpRetries:0:rtnCharFlag:"));
}

TEST(SnmpRequest, FirstOccurrenceOfATagWinsEvenInsideLaterPieces)
{
    const auto r = cutSnmpRequest(snmpRequest("2", "0", "f", "1", "1", "0", {":iType:", ":rtnCharFlag:x"}));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->iType, 2);
    EXPECT_EQ(r->pieces, (std::vector<std::string>{":iType:", ":rtnCharFlag:x"}));
}

TEST(PlistWriteRequest, UrlEndsAtTheFirstTagAndTheDataRunsToTheEnd)
{
    struct Case {
        std::string request;
        std::optional<std::string> url, data;
    } cases[] = {
        {"file:///tmp/a:AddURL:END<plist/>", "file:///tmp/a", "<plist/>"},
        {"file:///tmp/a:AddURL:ENDx:AddURL:ENDy", "file:///tmp/a", "x:AddURL:ENDy"},
        {":AddURL:END", "", ""},
        {"file:///tmp/a:AddURL:EN", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto r = cutPlistWriteRequest(c.request);
        ASSERT_EQ(r.has_value(), c.url.has_value()) << c.request;
        if (r) {
            EXPECT_EQ(r->urlText, *c.url);
            EXPECT_EQ(r->data, *c.data);
        }
    }
}

TEST(MagicPacketRequest, NullOrMissingFieldsAreAbsentAndLowerCaseNullIsAValue)
{
    using O = std::optional<std::string>;
    struct Case {
        std::string request;
        bool cuts;
        O ip, mac, pw;
    } cases[] = {
        {"10.0.0.1:ARGipAddressStr:00:11:22:33:44:55:ARGmacAddressStr:pw:ARGpasswordStr:", true, "10.0.0.1",
         "00:11:22:33:44:55", "pw"},
        {"NULL:ARGipAddressStr:NULL:ARGmacAddressStr:NULL:ARGpasswordStr:", true, {}, {}, {}},
        {"null:ARGipAddressStr:Null:ARGmacAddressStr::ARGpasswordStr:", true, "null", "Null", ""},
        {"a:ARGipAddressStr:b:ARGmacAddressStr:c:ARGpasswordStr:ignored rest", true, "a", "b", "c"},
        {"a:ARGipAddressStr:b:ARGmacAddressStr:", true, "a", "b", {}},
        {"a:ARGipAddressStr:", true, "a", {}, {}},
        {"", true, {}, {}, {}},
        {"b:ARGmacAddressStr:", false, {}, {}, {}},
        {"a:ARGipAddressStr:c:ARGpasswordStr:", false, {}, {}, {}},
        {"b:ARGmacAddressStr:a:ARGipAddressStr:c:ARGpasswordStr:", false, {}, {}, {}},
    };
    for (const auto& c : cases) {
        const auto r = cutMagicPacketRequest(c.request);
        ASSERT_EQ(r.has_value(), c.cuts) << c.request;
        if (r) {
            EXPECT_EQ(r->ipAddress, c.ip) << c.request;
            EXPECT_EQ(r->macAddress, c.mac) << c.request;
            EXPECT_EQ(r->password, c.pw) << c.request;
        }
    }
}

TEST(EchoRequest, TimeOutIsTheWholeTextAfterTheTagReadAs64BitsAndCutToWhatAWaitHolds)
{
    struct Case {
        std::string request;
        bool cuts;
        std::string ip;
        int64_t timeout;
    } cases[] = {
        {"127.0.0.1:sIpAddr:END300", true, "127.0.0.1", 300},
        {"127.0.0.1:sIpAddr:END", true, "127.0.0.1", 0},
        {" 1.2.3.4 :sIpAddr:END-1", true, " 1.2.3.4 ", -1},
        // Cut to what every wait holds (2^31 - 1 ms): 9300000000000 ms would
        // overflow a wait counted in nanoseconds.
        {"127.0.0.1:sIpAddr:END2147483647", true, "127.0.0.1", 2147483647},
        {"127.0.0.1:sIpAddr:END 5000000000", true, "127.0.0.1", 2147483647},
        {"127.0.0.1:sIpAddr:END9300000000000", true, "127.0.0.1", 2147483647},
        {"127.0.0.1:sIpAddr:END99999999999999999999", true, "127.0.0.1", 2147483647},
        {"127.0.0.1", false, "", 0},
    };
    for (const auto& c : cases) {
        const auto r = cutEchoRequest(c.request);
        ASSERT_EQ(r.has_value(), c.cuts) << c.request;
        if (r) {
            EXPECT_EQ(r->ipAddress, c.ip);
            EXPECT_EQ(r->timeoutMsec, c.timeout);
        }
    }
}

TEST(CancelRequest, PathIsTheTextBeforeTheTagAndNoTagIsNoPath)
{
    EXPECT_EQ(cutCancelRequest("/tmp/c:CancelFileName:"), "/tmp/c");
    EXPECT_EQ(cutCancelRequest("/tmp/c:CancelFileName:rest:CancelFileName:"), "/tmp/c");
    EXPECT_EQ(cutCancelRequest(":CancelFileName:"), "");
    EXPECT_EQ(cutCancelRequest("/tmp/c"), std::nullopt);
}

TEST(Replies, SimpleRepliesAreTheirWords)
{
    EXPECT_EQ(boolReply(true), "TRUE");
    EXPECT_EQ(boolReply(false), "FALSE");
    EXPECT_EQ(statusReply(0), "0");
    EXPECT_EQ(statusReply(-1), "-1");
}

TEST(SnmpReply, StatusAndValueTypeChooseTheReply)
{
    UResult minusFive;
    minusFive.setInteger(-5);
    UResult intMin;
    intMin.setInteger(std::numeric_limits<int32_t>::min());
    const UResult zero{};
    const UResult text = stringResult("Fenwa AP 1200");
    struct Case {
        int32_t status;
        uint8_t type;
        UResult result;
        std::string reply;
    } cases[] = {
        {0, 2, minusFive, "TRUE:uResult.integer=-5"},
        {0, 2, intMin, "TRUE:uResult.integer=-2147483648"},
        {0, 2, zero, "TRUE:uResult.integer=0"},
        {0, 4, zero, "TRUE:uResult.string="},
        {0, 4, text, "TRUE:uResult.string=Fenwa AP 1200"},
        {0, 6, stringResult("1.3.6.1.4.1"), "TRUE:uResult.string=1.3.6.1.4.1"},
        {0, 5, text, "FALSE"},
        {0, 0, text, "FALSE"},
        {0, 3, text, "FALSE"},
        {-1, 2, minusFive, "FALSE:rtn_ExitValue=-1"},
        {-9780, 4, text, "FALSE:rtn_ExitValue=-9780"},
        {-30896, 0, zero, "FALSE:rtn_ExitValue=-30896"},
        {-50, 5, zero, "FALSE:rtn_ExitValue=-50"},
        {7, 2, zero, "FALSE:rtn_ExitValue=7"},
    };
    for (const auto& c : cases)
        for (const StringForm form : {StringForm::Utf8, StringForm::Bytes})
            EXPECT_EQ(snmpReply(c.status, c.type, c.result, form), c.reply)
                << c.status << " type " << int(c.type);
}

TEST(SnmpReply, StringFormDecidesHowBytesThatAreNotUtf8Appear)
{
    struct Case {
        std::string bytes;
        std::string utf8Reply;
        std::string bytesReply;
    } cases[] = {
        {"caf\xC3\xA9", "TRUE:uResult.string=caf\xC3\xA9", "TRUE:uResult.string=caf\xC3\x83\xC2\xA9"},
        {std::string("\x00\x11\x22\xAA\xBB\xCC", 6), "TRUE:uResult.string=", "TRUE:uResult.string="},
        {"\xAA\xBB", "TRUE:uResult.string=(null)", "TRUE:uResult.string=\xC2\xAA\xC2\xBB"},
        {"ok\xFF", "TRUE:uResult.string=(null)", "TRUE:uResult.string=ok\xC3\xBF"},
        {"\xED\xA0\x80", "TRUE:uResult.string=(null)", "TRUE:uResult.string=\xC3\xAD\xC2\xA0\xC2\x80"},
    };
    for (const auto& c : cases) {
        const UResult u = stringResult(c.bytes);
        EXPECT_EQ(snmpReply(0, 4, u, StringForm::Utf8), c.utf8Reply) << testing::PrintToString(c.bytes);
        EXPECT_EQ(snmpReply(0, 4, u, StringForm::Bytes), c.bytesReply) << testing::PrintToString(c.bytes);
    }
}

TEST(SnmpReply, AFullResultAreaStopsAtItsEnd)
{
    UResult u;
    u.bytes.fill('A');
    const std::string reply = snmpReply(0, 4, u, StringForm::Utf8);
    EXPECT_EQ(reply, "TRUE:uResult.string=" + std::string(256, 'A'));
}
