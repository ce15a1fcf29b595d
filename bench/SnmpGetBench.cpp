// Figures for the SNMP get worker, inside scripts/sandbox --agent:
//   - one PdeSnmpGet against snmpd, median and 99th percentile of 1,000 calls,
//     beside snmpget run as a process (100 runs);
//   - the wall time of 64 overlapping calls to a silent address (300 ms time-out);
//   - how soon a raised gCancelFlag ends a waiting call.
#include "PdeSnmpGet.h"
#include "Settings.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kOid = "1.3.6.1.2.1.1.1.0";

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void printFigures(const char* what, std::vector<double> samples, const char* unit)
{
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) { return samples[std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()))]; };
    std::printf("%-46s n=%-5zu median %9.1f %s   p99 %9.1f %s   max %9.1f %s\n", what, samples.size(), at(0.5), unit,
                at(0.99), unit, samples.back(), unit);
}

int32_t get(const char* host, UResult& result, uint8_t& type)
{
    ArgVector args;
    args[3] = "public";
    args[6] = host;
    args[7] = kOid;
    // As a read with cancel flag "NULL": the stored time-out, gCancelFlag.
    const SnmpReadSettings settings{gSnmpTimeout.load(), CancelCheck([] { return gCancelFlag.load() != 0; })};
    return PdeSnmpGet(args, result, 0, 0, type, settings);
}

}  // namespace

int main()
{
    if (const char* s = std::getenv("PH_SANDBOX"); s == nullptr || std::string(s) != "1") {
        std::fprintf(stderr, "bench_snmp_get: run it inside scripts/sandbox --agent (scripts/bench does)\n");
        return 1;
    }
    gSnmpTimeout = 1000;
    gCancelFlag = 0;

    // One call against the real agent.
    std::vector<double> calls;
    int failures = 0;
    for (int i = 0; i < 1000; ++i) {
        UResult result;
        uint8_t type = 0;
        const auto start = Clock::now();
        failures += get("127.0.0.1", result, type) != 0;
        calls.push_back(micros(Clock::now() - start));
    }
    printFigures("PdeSnmpGet 127.0.0.1 sysDescr", calls, "us");
    if (failures)
        std::printf("  (%d of 1000 calls failed)\n", failures);

    // The same read as a process, for scale.
    std::vector<double> processes;
    const std::string command = std::string("snmpget -v1 -c public 127.0.0.1 ") + kOid + " >/dev/null 2>&1";
    for (int i = 0; i < 100; ++i) {
        const auto start = Clock::now();
        if (std::system(command.c_str()) != 0)
            ++failures;
        processes.push_back(micros(Clock::now() - start));
    }
    printFigures("snmpget process, same OID", processes, "us");

    // Overlapping calls to a silent address: each waits its own time-out.
    gSnmpTimeout = 300;
    std::vector<double> walls;
    for (int round = 0; round < 5; ++round) {
        std::vector<std::thread> threads;
        const auto start = Clock::now();
        for (int i = 0; i < 64; ++i)
            threads.emplace_back([] {
                UResult result;
                uint8_t type = 0;
                (void)get("127.0.0.9", result, type);
            });
        for (auto& t : threads)
            t.join();
        walls.push_back(micros(Clock::now() - start) / 1000.0);
    }
    printFigures("64 overlapping calls, silent host, t=300 ms", walls, "ms");

    // Cancel latency: flag raised 50 ms into a 5 s wait.
    gSnmpTimeout = 5000;
    std::vector<double> cancels;
    for (int i = 0; i < 20; ++i) {
        gCancelFlag = 0;
        Clock::time_point raised;
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            raised = Clock::now();
            gCancelFlag = 1;
        });
        UResult result;
        uint8_t type = 0;
        const int32_t status = get("127.0.0.9", result, type);
        const auto end = Clock::now();
        canceller.join();
        if (status != -1)
            ++failures;
        cancels.push_back(micros(end - raised) / 1000.0);
    }
    gCancelFlag = 0;
    printFigures("cancel raised -> call returns", cancels, "ms");
    return failures == 0 ? 0 : 1;
}
