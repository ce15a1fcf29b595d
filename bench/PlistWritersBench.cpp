// "50 writers on one file": 50 clients write their own texts to one file at
// the same moment, 40 rounds (2,000 writes), once on a hard-linked file
// (written in place) and once on a file of one name (replaced). Figures: torn
// files (a round that ends in no whole text), torn reads (a reader that
// takes advisory read locks, as other programs may, seeing no whole text),
// FALSE answers, and the time of a round. Goal: 0 torn files, 0 torn reads.
// Run through scripts/bench (inside scripts/sandbox); part of the fault
// figures of the service.

#include "ManyClients.h"
#include "ServiceHarness.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kWriters = 50;
constexpr int kRounds = 40;

// Writer k's text: its own letter, and a length of its own from 10 bytes to
// about 200,000, so that any mix of two texts is seen.
std::string textOf(std::size_t k)
{
    return std::string(10 + k * 4000, static_cast<char>('A' + k % 26)) + std::to_string(k);
}

std::string readLocked(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "<none>";
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    std::string text;
    if (::fcntl(fd, F_OFD_SETLKW, &lock) == 0) {
        char buf[65536];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0)
            text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

struct Figures {
    int tornFiles = 0;
    std::size_t reads = 0, tornReads = 0, refused = 0, lost = 0;
    double medianRoundMs = 0;
};

Figures run(ManyClients& clients, const std::string& dir, bool hardLinked)
{
    const std::string path = dir + (hardLinked ? "/linked.plist" : "/single.plist");
    std::set<std::string> whole{"start"};
    for (std::size_t k = 0; k < kWriters; ++k)
        whole.insert(textOf(k));
    if (std::FILE* f = std::fopen(path.c_str(), "w")) {
        std::fputs("start", f);
        std::fclose(f);
    }
    if (hardLinked)
        ::link(path.c_str(), (path + ".link").c_str());

    Figures figures;
    std::atomic<bool> reading{true};
    std::atomic<std::size_t> reads{0}, tornReads{0};
    std::thread reader([&] {
        while (reading) {
            if (whole.count(readLocked(path)) == 0)
                ++tornReads;
            ++reads;
            std::this_thread::sleep_for(2ms);
        }
    });

    std::vector<double> roundMs;
    for (int round = 0; round < kRounds; ++round) {
        Outcomes out;
        out.resize(kWriters);
        const auto start = Clock::now();
        for (std::size_t k = 0; k < kWriters; ++k) {
            // Through the other name for half of them, where there is one.
            const std::string target = hardLinked && k % 2 ? path + ".link" : path;
            clients.call(k, "writeDictionaryToPlistFile_XPC", "file://" + target + ":AddURL:END" + textOf(k), out.slot(k));
        }
        const std::size_t answered = out.waitFor(kWriters, 120s);
        roundMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        figures.lost += kWriters - answered;
        for (const auto& o : out.all())
            figures.refused += o && o->ok && o->text != "TRUE";
        std::FILE* f = std::fopen(path.c_str(), "rb");
        std::string after;
        if (f) {
            char buf[65536];
            std::size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
                after.append(buf, n);
            std::fclose(f);
        }
        figures.tornFiles += whole.count(after) == 0;
    }
    reading = false;
    reader.join();
    figures.reads = reads;
    figures.tornReads = tornReads;
    std::sort(roundMs.begin(), roundMs.end());
    figures.medianRoundMs = roundMs[roundMs.size() / 2];
    return figures;
}

}  // namespace

int main()
{
    if (const char* s = std::getenv("PH_SANDBOX"); s == nullptr || std::string(s) != "1") {
        std::fprintf(stderr, "run through scripts/bench\n");
        return 1;
    }
    const FamilyNames names = familyFrom(PH_FAMILY_DIR);
    char pattern[] = "/tmp/ph-bench-writers.XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    {
        PrivateBus bus;
        ServiceRun service(names.serviceExe, bus);
        if (!service.waitForName(bus, names.service)) {
            std::fprintf(stderr, "the service did not take its name\n");
            return 1;
        }
        ManyClients clients(kWriters, names.service, names.interface, bus.address());
        for (const bool hardLinked : {true, false}) {
            const Figures f = run(clients, dir, hardLinked);
            std::printf("50 writers on one file, %s: %d torn files in %d rounds, %zu torn of %zu locked reads, "
                        "%zu FALSE and %zu unanswered of %zu writes, median round %.1f ms (goal: 0 torn)\n",
                        hardLinked ? "hard-linked (in place)" : "one name (replaced)", f.tornFiles, kRounds,
                        f.tornReads, f.reads, f.refused, f.lost, kWriters * kRounds, f.medianRoundMs);
        }
    }
    std::filesystem::remove_all(dir);
    return 0;
}
