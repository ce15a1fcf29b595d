// PdeSnmpGet against the real printer agent (net-snmp snmpd on 127.0.0.1:161).
#include "NetworkSandboxMain.h"

#include "SnmpAnswer.h"

using namespace std::chrono_literals;

namespace {

// The long texts the agent serves (tests/support/agent/snmpd.conf): 200
// bytes, and the first 254 of 300 bytes, whose 255th and 256th byte are "é".
const char* const kText200 =
    "Fenwa DX 5200 colour laser printer; firmware 4.12.7 (build 2291); engine DX-5200C rev B; duplex "
    "unit, 550-sheet tray 2 and 2,000-sheet high-capacity feeder installed; network card FNW-8 "
    "1000BASE-T, IP";
const char* const kText300Head =
    "Fenwa DX 5200 supply status: black toner cartridge TK-5200K (high yield, 18,000 pages) at "
    "42 percent; cyan TK-5200C at 67 percent; magenta TK-5200M at 12 percent, order soon; yellow "
    "TK-5200Y at 88 percent; waste toner box 30 percent full; drum unit DK-52";

class SnmpGetAgainstAgent : public ::testing::TestWithParam<OidReadCase> {
protected:
    void SetUp() override
    {
        gSnmpTimeout = 1000;
        gCancelFlag = 0;
    }

    static void expectServedValue(const OidReadCase& c, const char* host)
    {
        gtype = 0xEE;
        const SnmpGetOutcome out = snmpGet(host, "public", c.oid, c.iType, c.rtnCharFlag);
        expectStored(c.expected, out.status, out.type, out.result);
        EXPECT_EQ(gtype.load(), c.expected.type);
        EXPECT_LT(out.elapsed, 500ms);
    }
};

TEST_P(SnmpGetAgainstAgent, AnswersTheServedValue)
{
    const OidReadCase& c = GetParam();
    for (const char* host : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(host);
        expectServedValue(c, host);
    }
}

// Each kind of value the agent serves once; the MAC-address and caller-type
// variants of a value are the unit decode table's.
INSTANTIATE_TEST_SUITE_P(
    Values, SnmpGetAgainstAgent,
    ::testing::Values(
        OidReadCase{"Description", "1.3.6.1.2.1.1.1.0", 0, 0,
                    {0, 4, std::nullopt, "Fenwa DX 5200 colour laser printer"}},
        OidReadCase{"ObjectId", "1.3.6.1.2.1.1.2.0", 0, 0, {0, 6, std::nullopt, "1.3.6.1.4.1.59999.1.5200"}},
        OidReadCase{"DeviceStatus", "1.3.6.1.2.1.25.3.2.1.5.1", 0, 0, {0, 2, 2, ""}},
        OidReadCase{"NegativeLevel", "1.3.6.1.2.1.43.11.1.1.9.1.1", 2, 0, {0, 2, -3, ""}},
        OidReadCase{"LargestInteger", "1.3.6.1.4.1.59999.2.6.0", 0, 0, {0, 2, 2147483647, ""}},
        OidReadCase{"SmallestInteger", "1.3.6.1.4.1.59999.2.7.0", 0, 0, {0, 2, INT32_MIN, ""}},
        OidReadCase{"MacPlain", "1.3.6.1.2.1.2.2.1.6.2", 0, 0, {0, 4, std::nullopt, "00-1B-2C-3D-4E-5F"}},
        OidReadCase{"NotUtf8MacForm", "1.3.6.1.4.1.59999.2.1.0", 0, 1, {0, 4, std::nullopt, "aa:bb:cc:dd:ee:ff"}},
        OidReadCase{"Utf8Text", "1.3.6.1.4.1.59999.2.5.0", 4, 0, {0, 4, std::nullopt, "Fenwa B\xC3\xBCro"}},
        // Unsigned kinds and addresses: text of type 4, whatever iType.
        OidReadCase{"TimeTicksAsInteger", "1.3.6.1.4.1.59999.2.2.0", 2, 0, {0, 4, std::nullopt, "4242"}},
        OidReadCase{"LargestTimeTicks", "1.3.6.1.4.1.59999.3.5.0", 0, 0, {0, 4, std::nullopt, "4294967295"}},
        OidReadCase{"Counter", "1.3.6.1.2.1.43.10.2.1.4.1.1", 0, 0, {0, 4, std::nullopt, "123456"}},
        OidReadCase{"CounterAbove2To31", "1.3.6.1.4.1.59999.3.3.0", 2, 0, {0, 4, std::nullopt, "3000000000"}},
        OidReadCase{"Gauge", "1.3.6.1.4.1.59999.3.4.0", 0, 0, {0, 4, std::nullopt, "4000000000"}},
        OidReadCase{"IpAddress", "1.3.6.1.2.1.4.20.1.1.127.0.0.1", 0, 0, {0, 4, std::nullopt, "127.0.0.1"}},
        // Long texts: their bindings take the long length form.
        OidReadCase{"Text200", "1.3.6.1.4.1.59999.3.1.0", 0, 0, {0, 4, std::nullopt, kText200}},
        OidReadCase{"Text300CutBeforeTheCharacterAcross255", "1.3.6.1.4.1.59999.3.2.0", 0, 0, {0, 4, std::nullopt,
                  kText300Head}},
        OidReadCase{"MissingOid", "1.3.6.1.4.1.59999.9.9.0", 0, 0, {-30896, 5, std::nullopt, ""}}),
    [](const auto& p) { return std::string(p.param.name); });

class SnmpGetRequestForms : public ::testing::Test {
protected:
    void SetUp() override
    {
        gSnmpTimeout = 300;
        gCancelFlag = 0;
    }
};

TEST_F(SnmpGetRequestForms, AnAddressFollowedByALineBreakResolves)
{
    const SnmpGetOutcome out = snmpGet("127.0.0.1\n", "public", "1.3.6.1.2.1.25.3.2.1.5.1");
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.result.integer(), 2);
}

TEST_F(SnmpGetRequestForms, RefusedRequestsAnswerAtOnceWithNoAnswer)
{
    const std::tuple<const char*, std::optional<std::string>, std::optional<std::string>, std::optional<std::string>>
        cases[] = {
            {"host name", "localhost", "public", "1.3.6.1.2.1.1.1.0"},
            {"empty community", "127.0.0.1", "", "1.3.6.1.2.1.1.1.0"},
            {"missing community", "127.0.0.1", std::nullopt, "1.3.6.1.2.1.1.1.0"},
            {"missing host", std::nullopt, "public", "1.3.6.1.2.1.1.1.0"},
            {"missing OID", "127.0.0.1", "public", std::nullopt},
            {"OID without encoding", "127.0.0.1", "public", "13.6.1"},
            {"empty host", "", "public", "1.3.6.1.2.1.1.1.0"},
            {"IPv6 with an unknown scope", "fe80::1%nosuchif", "public", "1.3.6.1.2.1.1.1.0"},
            {"IPv6 name form", "ip6-localhost", "public", "1.3.6.1.2.1.1.1.0"},
        };
    for (const auto& [what, host, community, oid] : cases) {
        gtype = 0xEE;
        const SnmpGetOutcome out = snmpGet(host, community, oid);
        EXPECT_EQ(out.status, -9780) << what;
        EXPECT_LT(out.elapsed, 100ms) << what;
        EXPECT_EQ(gtype.load(), 0xEE) << what;
        EXPECT_EQ(out.result.string(), "") << what;
    }
}

TEST_F(SnmpGetRequestForms, AHostThatDoesNotAnswerGivesNoAnswerAfterTheTimeOut)
{
    for (const char* host : {"198.51.100.77", "127.0.0.9", "fe80::77%ph0", "::2"}) {
        const SnmpGetOutcome out = snmpGet(host, "public", "1.3.6.1.2.1.1.1.0");
        EXPECT_EQ(out.status, -9780) << host;
        EXPECT_GE(out.elapsed, 280ms) << host;
        EXPECT_LT(out.elapsed, 2000ms) << host;
    }
}

TEST_F(SnmpGetRequestForms, ACommunityOf240BytesIsReadBackWhereverTheBindingLies)
{
    // The agent admits this community too (snmpd.conf); its answer's binding
    // lies past position 255.
    const std::string community(240, 'c');
    for (const char* host : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(host);
        SnmpGetOutcome out = snmpGet(host, community, "1.3.6.1.2.1.1.1.0");
        ASSERT_EQ(out.status, 0);
        EXPECT_EQ(out.type, 4);
        EXPECT_EQ(out.result.string(), "Fenwa DX 5200 colour laser printer");
        out = snmpGet(host, community, "1.3.6.1.2.1.25.3.2.1.5.1", 2);
        ASSERT_EQ(out.status, 0);
        EXPECT_EQ(out.type, 2);
        EXPECT_EQ(out.result.integer(), 2);
    }
}

TEST_F(SnmpGetRequestForms, AWrongCommunityGoesUnanswered)
{
    const SnmpGetOutcome out = snmpGet("127.0.0.1", "private", "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(out.status, -9780);
    EXPECT_GE(out.elapsed, 280ms);
}

TEST_F(SnmpGetRequestForms, ANegativeOrHugeTimeOutStaysBounded)
{
    gSnmpTimeout = -5;
    SnmpGetOutcome out = snmpGet("127.0.0.9", "public", "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(out.status, -9780);
    EXPECT_LT(out.elapsed, 200ms);
    // 2^32 + 200 would read as 200 in 32 bits; the wait takes it whole, so
    // an answer that comes is still taken at once.
    gSnmpTimeout = (int64_t{1} << 32) + 200;
    out = snmpGet("127.0.0.1", "public", "1.3.6.1.2.1.25.3.2.1.5.1");
    EXPECT_EQ(out.status, 0);
    EXPECT_LT(out.elapsed, 500ms);
}

}  // namespace

PH_SANDBOX_MAIN()
