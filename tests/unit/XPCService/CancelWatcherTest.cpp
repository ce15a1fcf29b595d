// The cancel watcher on real files: which calls a byte cancels, whatever path
// led to the file; what stays for the next read; and its thread, which sleeps
// while no read names a file and never holds the calls' lock across the file
// system. Every wait is on a condition, with a generous deadline.

#include "CancelWatcher.h"

#include "Settings.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Running = CancelWatcher::Running;

// Enough time for several sweeps, for what must not happen.
constexpr auto kSomeSweeps = 6 * CancelWatcher::kPollPeriod;

template <typename Done>
bool within(std::chrono::milliseconds limit, Done done)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

bool readable(const CallCancel& cancel)
{
    pollfd p{cancel.fd(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

// Both halves of a raised interrupt: its cause and its descriptor.
bool raised(const CallCancel& cancel) { return cancel.cancelled() && readable(cancel); }

void appendByte(const std::string& path)
{
    std::ofstream(path, std::ios::binary | std::ios::app) << '\x01';
}

struct FlagReset {
    FlagReset() { gCancelFlag = 0; }
    ~FlagReset() { gCancelFlag = 0; }
};

}  // namespace

TEST(CancelWatcher, OnlyANonEmptyRegularFileCancelsItsReadAndIsRemoved)
{
    const auto none = [](const std::string&) {};
    struct Case {
        const char* name;
        std::function<void(const std::string&)> before, byte;  // at the path
        bool atOnce, cancels;
    } cases[] = {
        {"empty file, byte later", [](auto& p) { writeFile(p, ""); }, appendByte, false, true},
        {"no file yet, byte later", none, appendByte, false, true},
        {"file non-empty from the start", appendByte, none, true, true},
        {"folder, a file put inside", [](auto& p) { fs::create_directory(p); }, [](auto& p) { writeFile(p + "/x", "1"); },
         false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const FlagReset flag;
        c.before(dir / "cancel");
        CancelWatcher watcher;
        CallCancel cancel(false);
        const Running running(watcher, cancel, dir / "cancel");
        EXPECT_EQ(cancel.cancelled(), c.atOnce);
        std::this_thread::sleep_for(kSomeSweeps);
        c.byte(dir / "cancel");
        EXPECT_EQ(within(c.cancels ? 5000ms : kSomeSweeps, [&] { return raised(cancel); }), c.cancels);
        EXPECT_EQ(gCancelFlag.load(), c.cancels ? 1 : 0);
        EXPECT_TRUE(within(5000ms, [&] { return exists(dir / "cancel") != c.cancels; }));  // it goes just after
    }
}

TEST(CancelWatcher, OneByteCancelsEveryReadOfTheFileWhateverPathLedThereAndTheReadsThatFollowTheFlag)
{
    // Two reads name x/b by two paths, which may lead elsewhere by the time
    // the byte comes by a third. A read of another file, and a call that
    // answers to its own interrupt only, are left alone.
    const auto remakeFolder = [](const std::string& d, const char* oldName) {
        fs::rename(d + "/x", d + "/" + oldName);
        fs::create_directory(d + "/x");
        writeFile(d + "/x/b", "");
    };
    struct Case {
        const char *name, *first, *second, *byteTo;
        std::function<void(const std::string&)> meanwhile;
    } cases[] = {
        {"same path", "x/b", "x/b", "x/b", nullptr},
        {"/./, // and /../", "x/./b", "x//b", "x/../x/b", nullptr},
        {"relative", "x/b", "@relative", "x/b", nullptr},
        {"through a linked folder", "x/b", "via/b", "x/b", nullptr},
        {"a link, byte to its target", "link", "x/b", "x/b", nullptr},
        {"a chain of links, byte through the first", "link2", "x/b", "link2", nullptr},
        {"hard links, byte through a third name", "x/b", "x/hard", "hard2", nullptr},
        {"link made anew to another file", "link", "link", "y/new",
         [](auto& d) {
             fs::create_symlink("y/new", d + "/link.new");
             fs::rename(d + "/link.new", d + "/link");
         }},
        {"folder moved away and made again", "x/b", "via/b", "x/b", [&](auto& d) { remakeFolder(d, "old"); }},
        {"folder deleted and made again", "x/b", "x/./b", "x/b",
         [&](auto& d) {
             remakeFolder(d, "old");
             fs::remove_all(d + "/old");
         }},
    };
    for (const Case& c : cases) {
        for (const bool cancelCall : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (cancelCall ? ", through the cancel call" : ", written from outside"));
            TempDir dir;
            const auto at = [&](const char* p) { return p[0] == '@' ? fs::relative(dir / "x/b").string() : dir / p; };
            fs::create_directories(dir / "x");
            fs::create_directories(dir / "y");
            for (const char* file : {"x/b", "y/new", "other"})
                writeFile(dir / file, "");
            fs::create_directory_symlink(dir / "x", dir / "via");
            fs::create_symlink("x/b", dir / "link");
            fs::create_symlink(dir / "link", dir / "link2");
            fs::create_hard_link(dir / "x/b", dir / "x/hard");
            fs::create_hard_link(dir / "x/b", dir / "hard2");
            const FlagReset flag;
            CancelWatcher watcher;
            CallCancel first(false), second(false), follower(true), other(false), echo(false);
            const Running r1(watcher, first, at(c.first)), r2(watcher, second, at(c.second));
            const Running rf(watcher, follower, std::nullopt), ro(watcher, other, dir / "other");
            const Running re(watcher, echo, std::nullopt);
            std::this_thread::sleep_for(kSomeSweeps);
            ASSERT_FALSE(first.cancelled() || second.cancelled() || follower.cancelled());
            if (c.meanwhile)
                c.meanwhile(dir.path());

            appendByte(at(c.byteTo));
            if (cancelCall) {
                // Its own byte acts at once, also where a path leads elsewhere
                // since the last sweep.
                watcher.cancelWritten(at(c.byteTo));
                EXPECT_TRUE(raised(first) && raised(second));
            }
            // One look raises all that it raises, the flag's followers first.
            EXPECT_TRUE(within(5000ms, [&] { return raised(first) && raised(second) && raised(follower); }));
            EXPECT_EQ(gCancelFlag.load(), 1);
            EXPECT_FALSE(other.cancelled() || readable(other) || echo.cancelled() || readable(echo));
            // The names the reads gave go; a link goes, not its target.
            EXPECT_TRUE(within(5000ms, [&] { return !exists(at(c.first)) && !exists(at(c.second)); }));
            EXPECT_TRUE(exists(dir / "other"));
        }
    }
}

TEST(CancelWatcher, AByteAfterTheLastReadEndedStaysUnlessTheCancelCallWroteIt)
{
    for (const char* late : {"cancel", "./cancel", "hard", "never-read"}) {
        SCOPED_TRACE(late);
        const bool read = std::string(late) != "never-read";
        TempDir dir;
        const std::string path = dir / (read ? "cancel" : late);
        writeFile(path, "");
        fs::create_hard_link(path, dir / "hard");
        const FlagReset flag;
        CancelWatcher watcher;
        if (read) {
            CallCancel ended(false);
            const Running running(watcher, ended, path);
        }
        CallCancel follower(true);
        const Running followerRuns(watcher, follower, std::nullopt);

        // Nobody watches now: a byte from outside stays in the file.
        appendByte(path);
        std::this_thread::sleep_for(kSomeSweeps);
        EXPECT_EQ(readFile(path), "\x01");
        EXPECT_EQ(gCancelFlag.load(), 0);

        // The cancel call's byte is taken as the read's watcher took it; a
        // file no read named keeps it.
        appendByte(dir / late);
        watcher.cancelWritten(dir / late);
        EXPECT_EQ(exists(path), !read);
        EXPECT_EQ(gCancelFlag.load(), read ? 1 : 0);
        EXPECT_EQ(raised(follower), read);

        // The next read opens the file as its entry point does, never
        // truncating: it starts on an empty slate where the byte was taken.
        gCancelFlag = 0;
        std::ofstream(path, std::ios::app).flush();
        CallCancel next(false);
        const Running nextRuns(watcher, next, path);
        EXPECT_EQ(next.cancelled(), !read);
    }
}

TEST(CancelWatcher, StoredFlagReachesTheReadsThatFollowItAndAStopEveryCallNowAndLater)
{
    const FlagReset flag;
    CancelWatcher watcher;
    CallCancel follower(true), own(false);
    const Running rf(watcher, follower, std::nullopt), ro(watcher, own, std::nullopt);
    watcher.storeCancelFlag(0);
    EXPECT_FALSE(follower.cancelled());
    watcher.storeCancelFlag(1);
    EXPECT_TRUE(raised(follower));
    EXPECT_FALSE(own.cancelled() || readable(own));

    watcher.stopAll();
    EXPECT_TRUE(own.stopped() && readable(own));
    CallCancel after(false);
    const Running ra(watcher, after, std::nullopt);
    EXPECT_TRUE(after.stopped() && readable(after));
}

TEST(CancelWatcher, ItsThreadNeverWakesWhileNoReadNamesACancelFile)
{
    TempDir dir;
    // The watcher's thread is the one that appears with it (a thread that
    // just ended may linger in the list a while).
    auto threads = [] {
        std::set<std::string> tids;
        for (const auto& task : fs::directory_iterator("/proc/self/task"))
            tids.insert(task.path().filename().string());
        return tids;
    };
    const std::set<std::string> earlier = threads();
    CancelWatcher watcher;
    std::string tid;
    for (const std::string& t : threads())
        if (earlier.count(t) == 0)
            tid = t;
    ASSERT_FALSE(tid.empty());
    // How often it was switched to within span: never, while it sleeps.
    auto wakesWithin = [&](std::chrono::milliseconds span) {
        auto switches = [&] {
            std::ifstream status("/proc/self/task/" + tid + "/status");
            long total = 0;
            for (std::string line; std::getline(status, line);)
                if (line.find("ctxt_switches:") != std::string::npos)
                    total += std::stol(line.substr(line.find(':') + 1));
            return total;
        };
        const long before = switches();
        std::this_thread::sleep_for(span);
        return switches() - before;
    };
    ASSERT_TRUE(within(5000ms, [&] { return wakesWithin(kSomeSweeps) == 0; })) << "never settles";
    CallCancel echo(false);
    const Running echoRuns(watcher, echo, std::nullopt);
    // Long enough to catch a thread that only sleeps for a while.
    EXPECT_EQ(wakesWithin(2s), 0) << "woke while no read named a cancel file";
    {
        CallCancel read(false);
        const Running readRuns(watcher, read, dir / "cancel");
        EXPECT_GE(wakesWithin(10 * CancelWatcher::kPollPeriod), 2) << "no sweeps while a read named a file";
    }
    EXPECT_TRUE(within(5000ms, [&] { return wakesWithin(10 * CancelWatcher::kPollPeriod) == 0; }));
}

namespace {

// Where stats hang, as in a network file system that stopped answering.
struct Hang {
    std::mutex mutex;
    std::condition_variable changed;
    std::string folder;  // stats of paths under it wait until it is cleared
    int waiting = 0;
} gHang;

}  // namespace

// Every stat of this program, the watcher's among them, comes here.
int stat(const char* path, struct stat* st) noexcept
{
    {
        std::unique_lock lock(gHang.mutex);
        if (!gHang.folder.empty() && std::string_view(path).rfind(gHang.folder, 0) == 0) {
            ++gHang.waiting;
            gHang.changed.notify_all();
            gHang.changed.wait(lock, [] { return gHang.folder.empty(); });
            --gHang.waiting;
        }
    }
    return ::fstatat(AT_FDCWD, path, st, 0);
}

TEST(CancelWatcher, CallsStartAndEndWhileItsThreadHangsInTheFileSystem)
{
    TempDir dir;
    CancelWatcher watcher;
    CallCancel hanging(false);
    const Running hangingRuns(watcher, hanging, dir / "hangs/cancel");
    const auto hangStats = [&](const std::string& folder) {
        const std::lock_guard lock(gHang.mutex);
        gHang.folder = folder;
        gHang.changed.notify_all();
    };
    hangStats(dir / "hangs");
    ASSERT_TRUE(within(5000ms, [] {
        const std::lock_guard lock(gHang.mutex);
        return gHang.waiting > 0;
    }));

    auto calls = std::async(std::launch::async, [&] {
        for (int i = 0; i < 100; ++i) {
            CallCancel other(false);
            const Running otherRuns(watcher, other, dir / "other");
        }
        watcher.storeCancelFlag(0);
    });
    const bool answered = calls.wait_for(5s) == std::future_status::ready;
    hangStats("");
    calls.wait();
    EXPECT_TRUE(answered) << "a call waited for the watcher thread's file-system call";
}
