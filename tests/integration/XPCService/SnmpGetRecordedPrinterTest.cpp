// PdeSnmpGet against a second real agent, snmpsimd serving a recorded
// network printer (tests/support/agent/snmpsim/printer.snmprec), over
// IPv4 and IPv6.
#include "NetworkSandboxMain.h"

#include "SnmpAnswer.h"

#include <cstdlib>

using namespace std::chrono_literals;

namespace {

class SnmpGetAgainstRecordedPrinter : public ::testing::TestWithParam<OidReadCase> {
protected:
    void SetUp() override
    {
        if (std::getenv("PH_SNMPSIM") == nullptr)
            GTEST_SKIP() << "needs scripts/sandbox --snmpsim";
        gSnmpTimeout = 2000;
        gCancelFlag = 0;
    }
};

TEST_P(SnmpGetAgainstRecordedPrinter, AnswersTheRecordedValueOverIPv4AndIPv6)
{
    const OidReadCase& c = GetParam();
    for (const char* host : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(host);
        const SnmpGetOutcome out = snmpGet(host, "printer", c.oid, c.iType, c.rtnCharFlag);
        expectStored(c.expected, out.status, out.type, out.result);
        EXPECT_LT(out.elapsed, 1500ms);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Printer, SnmpGetAgainstRecordedPrinter,
    ::testing::Values(
        // 175 bytes: the binding takes the long length form.
        OidReadCase{"Description", "1.3.6.1.2.1.1.1.0", 0, 0, {0, 4, std::nullopt,
                     "Fenwa DX 7300ci colour multifunction printer; firmware 7.31.0042 (2026-03-18); engine DX7300-E "
                     "rev C; PCL 6, PostScript 3 and PDF 1.7 direct print; finisher FN-73 with stapler"}},
        OidReadCase{"ObjectId", "1.3.6.1.2.1.1.2.0", 0, 0, {0, 6, std::nullopt, "1.3.6.1.4.1.59999.1.7300"}},
        OidReadCase{"UpTimeAbove2To31", "1.3.6.1.2.1.1.3.0", 2, 0, {0, 4, std::nullopt, "3456789012"}},
        OidReadCase{"NonAsciiLocation", "1.3.6.1.2.1.1.6.0", 4, 0, {0, 4, std::nullopt,
                     "B\xC3\xBCro 3. OG \xE2\x80\x93 Raum 3.14, Kopierecke neben der K\xC3\xBC" "che"}},
        OidReadCase{"Services", "1.3.6.1.2.1.1.7.0", 2, 0, {0, 2, 72, ""}},
        OidReadCase{"LinkSpeedGauge", "1.3.6.1.2.1.2.2.1.5.1", 0, 0, {0, 4, std::nullopt, "1000000000"}},
        OidReadCase{"MacPlain", "1.3.6.1.2.1.2.2.1.6.1", 0, 0, {0, 4, std::nullopt, "00-1B-2C-AA-07-30"}},
        OidReadCase{"MacForm", "1.3.6.1.2.1.2.2.1.6.1", 0, 1, {0, 4, std::nullopt, "00:1B:2C:AA:07:30"}},
        OidReadCase{"OctetCounterAbove2To31", "1.3.6.1.2.1.2.2.1.10.1", 0, 0, {0, 4, std::nullopt, "3123456789"}},
        OidReadCase{"IpAddress", "1.3.6.1.2.1.4.20.1.1.192.0.2.73", 0, 0, {0, 4, std::nullopt, "192.0.2.73"}},
        OidReadCase{"PrinterStatus", "1.3.6.1.2.1.25.3.5.1.1.1", 2, 0, {0, 2, 3, ""}},
        OidReadCase{"SerialNumber", "1.3.6.1.2.1.43.5.1.1.17.1", 4, 0, {0, 4, std::nullopt, "FNW73C0042187"}},
        OidReadCase{"PageCount", "1.3.6.1.2.1.43.10.2.1.4.1.1", 2, 0, {0, 4, std::nullopt, "2734819"}},
        OidReadCase{"SupplyDescription", "1.3.6.1.2.1.43.11.1.1.6.1.3", 0, 0, {0, 4, std::nullopt,
                     "Fenwa TK-7300M magenta toner cartridge, high yield (approx. 18,000 pages at 5 % coverage), "
                     "genuine supply, order number 1T02NR3NL0"}},
        OidReadCase{"SupplyLevelUnknown", "1.3.6.1.2.1.43.11.1.1.9.1.4", 2, 0, {0, 2, -3, ""}},
        OidReadCase{"ConsoleText", "1.3.6.1.2.1.43.16.5.1.2.1.2", 4, 0, {0, 4, std::nullopt,
                     "Papierfach 2 \xE2\x80\x93 fast leer"}},
        OidReadCase{"NotRecorded", "1.3.6.1.2.1.43.11.1.1.6.1.9", 2, 0, {-30896, 5, std::nullopt, ""}},
        OidReadCase{"NotRecordedAsText", "1.3.6.1.2.1.43.11.1.1.6.1.9", 4, 0, {0, 4, std::nullopt, ""}}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace

PH_SANDBOX_MAIN()
