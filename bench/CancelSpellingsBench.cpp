// Cancels by two spellings: each round starts two reads that name one cancel
// file by two spellings ("/./", "//" or a linked folder, by turns), then
// cancels once (through the cancel call or written from outside, by turns).
// Counts the reads that missed their cancel and the time from the cancel to
// each reply. One piece of the fault figures; run through scripts/bench
// (inside scripts/sandbox).
//   bench_cancel_spellings [ROUNDS]   (default 100)

#include "ManyClients.h"
#include "ServiceHarness.h"
#include "ServiceRequests.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr long kReadTimeoutMs = 4000;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double at(const std::vector<double>& sorted, double q)
{
    return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(q * sorted.size()))];
}

}  // namespace

int main(int argc, char** argv)
{
    if (const char* sb = std::getenv("PH_SANDBOX"); sb == nullptr || std::string(sb) != "1") {
        std::fprintf(stderr, "refusing to send packets outside scripts/sandbox; run through scripts/bench\n");
        return 1;
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;

    char pattern[] = "/tmp/ph-bench-spell.XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        return 1;
    const std::string dir = pattern;
    fs::create_directory(dir + "/x");
    fs::create_directory_symlink(dir + "/x", dir + "/via");
    const std::string path = dir + "/x/b";
    const std::string spellings[] = {dir + "/x/./b", dir + "/x//b", dir + "/via/b"};

    const FamilyNames names = familyFrom(PH_FAMILY_DIR);
    PrivateBus bus;
    ServiceRun service(names.serviceExe, bus);
    if (!service.waitForName(bus, names.service)) {
        std::fprintf(stderr, "the service did not take its name\n");
        return 1;
    }
    ManyClients clients(3, names.service, names.interface, bus.address());

    std::vector<double> latencies;
    std::size_t missed = 0;
    for (int round = 0; round < rounds; ++round) {
        const std::string& other = spellings[round % 3];
        Outcomes out;
        out.resize(2);
        clients.call(0, requests::kRead, requests::read("0", path, kReadTimeoutMs), out.slot(0));
        clients.call(1, requests::kRead, requests::read("0", other, kReadTimeoutMs), out.slot(1));
        // Both reads have started once the file is there and a little time
        // has passed; a cancel before that finds no file or no read.
        for (int i = 0; i < 200 && !fs::exists(path); ++i)
            std::this_thread::sleep_for(5ms);
        std::this_thread::sleep_for(50ms);

        const auto t0 = Clock::now();
        if (round % 2 == 0) {
            clients.call(2, requests::kCancel, requests::cancel(other), [](const CallOutcome&) {});
        } else {
            const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            if (fd >= 0) {
                [[maybe_unused]] const ssize_t n = ::write(fd, "\x01", 1);
                ::close(fd);
            }
        }
        out.waitFor(2, 2000ms);
        for (const auto& o : out.all()) {
            if (o && o->text == requests::kCancelled)
                latencies.push_back(ms(o->at - t0));
            else
                ++missed;
        }
        // A read that missed runs to its time-out before the next round.
        out.waitFor(2, std::chrono::milliseconds(kReadTimeoutMs + 1000));
    }

    std::sort(latencies.begin(), latencies.end());
    std::printf("cancels by two spellings, %d rounds of 2 reads (cancel call and outside write by turns): "
                "%zu of %d reads missed their cancel; cancel to reply median %.1f ms, p95 %.1f ms, max %.1f ms  "
                "[goal: 0 missed]\n",
                rounds, missed, 2 * rounds, at(latencies, 0.5), at(latencies, 0.95), at(latencies, 1.0));
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return missed == 0 ? 0 : 1;
}
