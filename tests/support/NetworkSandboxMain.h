#pragma once
// Shared by the network integration tests: they send packets, so they refuse
// to run anywhere but inside scripts/sandbox.
#include "PdeSnmpGet.h"
#include "Settings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#define PH_SANDBOX_MAIN()                                                                        \
    int main(int argc, char** argv)                                                              \
    {                                                                                            \
        if (const char* s = std::getenv("PH_SANDBOX"); s == nullptr || std::string(s) != "1") {  \
            std::fprintf(stderr, "refusing to send packets outside scripts/sandbox\n");          \
            return 1;                                                                            \
        }                                                                                        \
        ::testing::InitGoogleTest(&argc, argv);                                                  \
        return RUN_ALL_TESTS();                                                                  \
    }

struct SnmpGetOutcome {
    int32_t status = 0;
    uint8_t type = 0;
    UResult result;
    std::chrono::milliseconds elapsed{0};
};

// One PdeSnmpGet with community in entry 3, host in 6 and OID in 7, run as
// the entry point runs a read whose cancel flag is "NULL": with the stored
// time-out, cancelled by gCancelFlag.
inline SnmpGetOutcome snmpGet(std::optional<std::string> host, std::optional<std::string> community,
                              std::optional<std::string> oid, int32_t iType = 0, int32_t rtnCharFlag = 0)
{
    ArgVector args;
    args[3] = std::move(community);
    args[6] = std::move(host);
    args[7] = std::move(oid);
    SnmpGetOutcome out;
    const auto start = std::chrono::steady_clock::now();
    const SnmpReadSettings settings{gSnmpTimeout.load(), CancelCheck([] { return gCancelFlag.load() != 0; })};
    out.status = PdeSnmpGet(args, out.result, iType, rtnCharFlag, out.type, settings);
    out.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    return out;
}
