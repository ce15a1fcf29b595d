// The cancel watcher with many reads at once, each naming a file of its own.
// Run through scripts/bench watcher; bench_watcher [FILES] [SECONDS].
//
// idle       no read names a file: the watcher thread's wake-ups and CPU time
//            over one second. Goal: 0 wake-ups.
// sweep      FILES files watched (default 1,000) for SECONDS (default 5): the
//            thread's sweeps and its CPU time per sweep and as a share of one
//            core, beside FILES bare stats of the same paths from one thread,
//            the floor that the poll contract sets. Goal: every sweep made
//            (SECONDS / 20 ms), CPU per sweep <= 1.5 x the bare stats.
// cancel     with FILES files watched, a byte written from outside to one of
//            them, 100 times: the time until its read is interrupted. Goal:
//            p99 <= 2 sweep periods (40 ms).

#include "CancelWatcher.h"

#include "Settings.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

std::set<pid_t> threads()
{
    std::set<pid_t> tids;
    for (const auto& entry : fs::directory_iterator("/proc/self/task"))
        tids.insert(std::stoi(entry.path().filename().string()));
    return tids;
}

// A thread's time on a CPU (ns) and its voluntary wake-ups: it sleeps once
// between two sweeps.
struct ThreadUse {
    double cpuNs = 0;
    long wakes = 0;
};

ThreadUse useOf(pid_t tid)
{
    const std::string task = "/proc/self/task/" + std::to_string(tid);
    ThreadUse use;
    std::ifstream(task + "/schedstat") >> use.cpuNs;
    std::ifstream status(task + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            use.wakes = std::stol(line.substr(line.find(':') + 1));
    return use;
}

ThreadUse usedOver(pid_t tid, std::chrono::milliseconds span)
{
    const ThreadUse before = useOf(tid);
    std::this_thread::sleep_for(span);
    const ThreadUse after = useOf(tid);
    return ThreadUse{after.cpuNs - before.cpuNs, after.wakes - before.wakes};
}

void touch(const std::string& path, const char* bytes)
{
    std::ofstream(path, std::ios::trunc) << bytes;
}

// One read that names path, as the entry point makes it.
struct Read {
    CallCancel cancel{false};
    std::optional<CancelWatcher::Running> running;
    Read(CancelWatcher& watcher, const std::string& path) { running.emplace(watcher, cancel, path); }
};

}  // namespace

int main(int argc, char** argv)
{
    const std::size_t files = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 5;
    std::string pattern = (fs::temp_directory_path() / "ph-bench-watcher.XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        return 1;
    const std::string dir = pattern;
    auto pathOf = [&](std::size_t i) { return dir + "/cancel-" + std::to_string(i); };

    std::optional<CancelWatcher> watcher;
    const std::set<pid_t> before = threads();
    watcher.emplace();
    pid_t tid = -1;
    for (pid_t t : threads())
        if (before.count(t) == 0)
            tid = t;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const ThreadUse idle = usedOver(tid, std::chrono::seconds(1));
    std::printf("idle     %ld wake-ups, %.3f ms CPU in 1 s (goal: 0 wake-ups)\n", idle.wakes, idle.cpuNs / 1e6);

    std::vector<std::unique_ptr<Read>> reads;
    for (std::size_t i = 0; i < files; ++i) {
        touch(pathOf(i), "");
        reads.push_back(std::make_unique<Read>(*watcher, pathOf(i)));
    }
    const ThreadUse sweep = usedOver(tid, std::chrono::seconds(seconds));
    const double perSweepMs = sweep.wakes > 0 ? sweep.cpuNs / 1e6 / static_cast<double>(sweep.wakes) : 0;
    const double share = sweep.cpuNs / 1e9 / seconds * 100;

    // The floor: the same stats, bare, from this thread.
    constexpr int kBareRounds = 50;
    timespec bareStart{}, bareEnd{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &bareStart);
    for (int round = 0; round < kBareRounds; ++round)
        for (std::size_t i = 0; i < files; ++i) {
            struct stat st {};
            ::stat(pathOf(i).c_str(), &st);
        }
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &bareEnd);
    const double bareMs = ((bareEnd.tv_sec - bareStart.tv_sec) * 1e3 + (bareEnd.tv_nsec - bareStart.tv_nsec) / 1e6) / kBareRounds;
    std::printf("sweep    %zu files: %ld sweeps in %d s (goal: %d), %.3f ms CPU per sweep, %.2f %% of a core; "
                "bare stats %.3f ms (goal: <= %.3f ms per sweep)\n",
                files, sweep.wakes, seconds, seconds * 50, perSweepMs, share, bareMs, 1.5 * bareMs);

    std::vector<double> latencies;
    for (int round = 0; round < 100 && files > 0; ++round) {
        const std::size_t i = static_cast<std::size_t>(round * 7919) % files;
        const int fd = ::open(pathOf(i).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        const auto start = Clock::now();
        if (fd < 0 || ::write(fd, "\x01", 1) != 1)
            return 1;
        ::close(fd);
        pollfd p{reads[i]->cancel.fd(), POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1)
            return 1;
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        reads[i].reset();
        touch(pathOf(i), "");
        reads[i] = std::make_unique<Read>(*watcher, pathOf(i));
    }
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty())
        std::printf("cancel   %zu files: byte to interrupt p50 %.1f ms, p99 %.1f ms, max %.1f ms (goal: p99 <= 40 ms)\n",
                    files, latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100],
                    latencies.back());
    gCancelFlag = 0;
    reads.clear();
    watcher.reset();
    fs::remove_all(dir);
    return 0;
}
