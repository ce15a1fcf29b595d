// The cancel watcher on real files: which reads a byte cancels, whatever the
// path that led to it; what stays for the next read; and its thread, which
// sleeps while no read names a file and never holds the calls' lock across
// the file system. Every wait is on a condition, with a generous deadline.

#include "CancelWatcher.h"

#include "Settings.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

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
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0664);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(::write(fd, "\x01", 1), 1);
    ::close(fd);
}

// Sweeps that found nothing take this long to have happened several times.
constexpr auto kSomeSweeps = 6 * CancelWatcher::kPollPeriod;

struct FlagReset {
    FlagReset() { gCancelFlag = 0; }
    ~FlagReset() { gCancelFlag = 0; }
};

}  // namespace

TEST(CancelWatcher, OnlyANonEmptyRegularFileCancelsItsReadAndIsRemoved)
{
    struct Case {
        const char* name;
        std::function<void(const std::string&)> before, byte;  // at the path
        bool atOnce, cancels;
    } cases[] = {
        {"empty file, byte later", [](auto& p) { writeFile(p, ""); }, appendByte, false, true},
        {"no file yet, byte later", [](auto&) {}, appendByte, false, true},
        {"file non-empty from the start", appendByte, [](auto&) {}, true, true},
        {"folder, a file put inside", [](auto& p) { fs::create_directory(p); }, [](auto& p) { writeFile(p + "/x", "1"); },
         false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir / "cancel";
        const FlagReset flag;
        c.before(path);
        CancelWatcher watcher;
        CallCancel cancel(false);
        const CancelWatcher::Running running(watcher, cancel, path);
        EXPECT_EQ(cancel.cancelled(), c.atOnce);
        if (!c.atOnce) {
            std::this_thread::sleep_for(kSomeSweeps);
            EXPECT_FALSE(cancel.cancelled());
            c.byte(path);
        }
        EXPECT_EQ(within(c.cancels ? 5000ms : kSomeSweeps, [&] { return raised(cancel); }), c.cancels);
        EXPECT_EQ(gCancelFlag.load(), c.cancels ? 1 : 0);
        EXPECT_EQ(exists(path), !c.cancels);
        EXPECT_FALSE(cancel.stopped());
    }
}

TEST(CancelWatcher, OneByteCancelsEveryReadOfTheFileWhateverPathLedThere)
{
    // Two reads name the file by two paths; the byte goes in by a third, and
    // sometimes the paths lead elsewhere before it comes.
    struct Case {
        const char* name;
        const char* first;
        const char* second;
        const char* byteTo;
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
         [](const std::string& d) {
             fs::create_symlink("y/new", d + "/link.new");
             fs::rename(d + "/link.new", d + "/link");
         }},
        {"folder deleted and made again", "x/b", "x/./b", "x/b",
         [](const std::string& d) {
             fs::remove_all(d + "/x");
             fs::create_directory(d + "/x");
             writeFile(d + "/x/b", "");
         }},
        {"folder moved away and made again", "x/b", "via/b", "x/b",
         [](const std::string& d) {
             fs::rename(d + "/x", d + "/old");
             fs::create_directory(d + "/x");
             writeFile(d + "/x/b", "");
         }},
    };
    for (const Case& c : cases) {
        for (const bool cancelCall : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (cancelCall ? ", through the cancel call" : ", written from outside"));
            TempDir dir;
            const auto at = [&](const char* p) { return p[0] == '@' ? fs::relative(dir / "x/b").string() : dir / p; };
            fs::create_directories(dir / "y");
            fs::create_directory(dir / "x");
            writeFile(dir / "x/b", "");
            writeFile(dir / "y/new", "");
            fs::create_directory_symlink(dir / "x", dir / "via");
            fs::create_symlink("x/b", dir / "link");
            fs::create_symlink(dir / "link", dir / "link2");
            fs::create_hard_link(dir / "x/b", dir / "x/hard");
            fs::create_hard_link(dir / "x/b", dir / "hard2");
            const FlagReset flag;
            CancelWatcher watcher;
            CallCancel first(false), second(false);
            const CancelWatcher::Running one(watcher, first, at(c.first));
            const CancelWatcher::Running two(watcher, second, at(c.second));
            std::this_thread::sleep_for(kSomeSweeps);
            ASSERT_FALSE(first.cancelled() || second.cancelled());
            if (c.meanwhile)
                c.meanwhile(dir.path());

            appendByte(at(c.byteTo));
            if (cancelCall) {
                // Its own byte acts at once, also where a path leads elsewhere
                // since the last sweep.
                watcher.cancelWritten(at(c.byteTo));
                EXPECT_TRUE(raised(first) && raised(second));
            }
            EXPECT_TRUE(within(5000ms, [&] { return raised(first) && raised(second); }));
            EXPECT_EQ(gCancelFlag.load(), 1);
            // The names the reads gave go; a link goes, not its target.
            EXPECT_TRUE(within(5000ms, [&] { return !exists(at(c.first)) && !exists(at(c.second)); }));
        }
    }
}

TEST(CancelWatcher, CancelReachesTheReadsOfThatFileAndTheReadsThatFollowTheFlagOnly)
{
    TempDir dir;
    writeFile(dir / "mine", "");
    writeFile(dir / "other", "");
    const FlagReset flag;
    CancelWatcher watcher;
    CallCancel mine(false), follower(true), other(false), echo(false);
    const CancelWatcher::Running rm(watcher, mine, dir / "mine");
    const CancelWatcher::Running rf(watcher, follower, std::nullopt);
    const CancelWatcher::Running ro(watcher, other, dir / "other");
    const CancelWatcher::Running re(watcher, echo, std::nullopt);
    appendByte(dir / "mine");
    // One sweep raises all that it raises, so once those are seen the others
    // have had their chance.
    ASSERT_TRUE(within(5000ms, [&] { return raised(mine) && raised(follower); }));
    EXPECT_FALSE(other.cancelled() || readable(other));
    EXPECT_FALSE(echo.cancelled() || readable(echo));
    EXPECT_TRUE(exists(dir / "other"));
}

TEST(CancelWatcher, AByteAfterTheLastReadEndedStaysUnlessTheCancelCallWroteIt)
{
    for (const char* late : {"cancel", "./cancel", "hard"}) {
        SCOPED_TRACE(late);
        TempDir dir;
        const std::string path = dir / "cancel";
        writeFile(path, "");
        fs::create_hard_link(path, dir / "hard");
        const FlagReset flag;
        CancelWatcher watcher;
        {
            CallCancel read(false);
            const CancelWatcher::Running running(watcher, read, path);
        }
        CallCancel follower(true);
        const CancelWatcher::Running followerRuns(watcher, follower, std::nullopt);

        // Nobody watches now: a byte from outside stays in the file.
        appendByte(path);
        std::this_thread::sleep_for(kSomeSweeps);
        EXPECT_EQ(readFile(path), "\x01");
        EXPECT_EQ(gCancelFlag.load(), 0);

        // The cancel call's byte is taken as the read's watcher took it.
        appendByte(dir / late);
        watcher.cancelWritten(dir / late);
        EXPECT_FALSE(exists(path));
        EXPECT_EQ(gCancelFlag.load(), 1);
        EXPECT_TRUE(raised(follower));

        // The next read of that file starts on an empty slate.
        gCancelFlag = 0;
        writeFile(path, "");
        CallCancel next(false);
        const CancelWatcher::Running nextRuns(watcher, next, path);
        EXPECT_FALSE(next.cancelled());
    }

    // A file that no read named keeps the cancel call's byte.
    TempDir dir;
    const FlagReset flag;
    CancelWatcher watcher;
    writeFile(dir / "never", "\x01");
    watcher.cancelWritten(dir / "never");
    EXPECT_TRUE(exists(dir / "never"));
    EXPECT_EQ(gCancelFlag.load(), 0);
}

TEST(CancelWatcher, StoredFlagReachesOnlyTheReadsThatFollowIt)
{
    const FlagReset flag;
    CancelWatcher watcher;
    CallCancel follower(true), own(false);
    const CancelWatcher::Running rf(watcher, follower, std::nullopt);
    const CancelWatcher::Running ro(watcher, own, std::nullopt);
    watcher.storeCancelFlag(0);
    EXPECT_FALSE(follower.cancelled());
    watcher.storeCancelFlag(1);
    EXPECT_TRUE(raised(follower));
    EXPECT_FALSE(own.cancelled() || readable(own));
}

TEST(CancelWatcher, StopInterruptsEveryRunningCallAndEveryLaterOne)
{
    const FlagReset flag;
    CancelWatcher watcher;
    CallCancel before(false);
    const CancelWatcher::Running rb(watcher, before, std::nullopt);
    watcher.stopAll();
    EXPECT_TRUE(before.stopped() && readable(before));
    CallCancel after(true);
    const CancelWatcher::Running ra(watcher, after, std::nullopt);
    EXPECT_TRUE(after.stopped() && after.cancelled());
    EXPECT_EQ(gCancelFlag.load(), 0);
}

// --- the watcher thread ------------------------------------------------------

namespace {

std::set<pid_t> threadsOf(pid_t pid)
{
    std::set<pid_t> tids;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task"))
        tids.insert(std::stoi(entry.path().filename().string()));
    return tids;
}

// The thread that appeared in this process while make ran.
template <typename Make>
pid_t newThread(Make make)
{
    const std::set<pid_t> before = threadsOf(::getpid());
    make();
    for (pid_t tid : threadsOf(::getpid()))
        if (before.count(tid) == 0)
            return tid;
    return -1;
}

// How often the thread has been switched to: unchanged while it sleeps.
long switchesOf(pid_t tid)
{
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    long total = 0;
    for (std::string line; std::getline(status, line);)
        if (line.find("ctxt_switches:") != std::string::npos)
            total += std::stol(line.substr(line.find(':') + 1));
    return total;
}

}  // namespace

TEST(CancelWatcher, ItsThreadNeverWakesWhileNoReadNamesACancelFile)
{
    TempDir dir;
    writeFile(dir / "cancel", "");
    std::optional<CancelWatcher> watcher;
    const pid_t tid = newThread([&] { watcher.emplace(); });
    ASSERT_GT(tid, 0);
    auto wakesWithin = [&](std::chrono::milliseconds span) {
        const long before = switchesOf(tid);
        std::this_thread::sleep_for(span);
        return switchesOf(tid) - before;
    };
    ASSERT_TRUE(within(5000ms, [&] { return wakesWithin(kSomeSweeps) == 0; })) << "never settles";
    CallCancel echo(false);
    const CancelWatcher::Running echoRuns(*watcher, echo, std::nullopt);
    EXPECT_EQ(wakesWithin(10 * CancelWatcher::kPollPeriod), 0) << "woke for a call with no cancel file";
    {
        CallCancel read(false);
        const CancelWatcher::Running readRuns(*watcher, read, dir / "cancel");
        EXPECT_GE(wakesWithin(10 * CancelWatcher::kPollPeriod), 2) << "no sweeps while a read named a file";
    }
    EXPECT_TRUE(within(5000ms, [&] { return wakesWithin(10 * CancelWatcher::kPollPeriod) == 0; }));
}

namespace {

// Runs the traced thread to its next system call that names a path under
// folder, and leaves it stopped there: a call into a network file system that
// hangs. The path is told by the call's arguments, whatever the architecture
// numbers its calls.
bool holdAtNextCallNaming(pid_t pid, pid_t tid, const std::string& folder)
{
    for (int i = 0; i < 100000; ++i) {
        int status = 0;
        if (::ptrace(PTRACE_SYSCALL, tid, nullptr, nullptr) != 0 || ::waitpid(tid, &status, __WALL) != tid)
            return false;
        __ptrace_syscall_info info{};
        if (!WIFSTOPPED(status) || WSTOPSIG(status) != (SIGTRAP | 0x80) ||
            ::ptrace(PTRACE_GET_SYSCALL_INFO, tid, sizeof info, &info) <= 0 || info.op != PTRACE_SYSCALL_INFO_ENTRY)
            continue;
        for (int arg = 0; arg < 3; ++arg) {
            std::string text(folder.size(), '\0');
            iovec local{text.data(), text.size()};
            iovec remote{reinterpret_cast<void*>(static_cast<uintptr_t>(info.entry.args[arg])), text.size()};
            if (::process_vm_readv(pid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(text.size()) && text == folder)
                return true;
        }
    }
    return false;
}

}  // namespace

TEST(CancelWatcher, ReadsStartAndEndWhileItsThreadHangsInTheFileSystem)
{
    TempDir dir;
    int toParent[2], toChild[2];
    ASSERT_EQ(::pipe2(toParent, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A watcher that sweeps a path under dir, whose thread it names; on
        // each request one more read starts and ends, and it answers.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        std::optional<CancelWatcher> watcher;
        pid_t tid = newThread([&] { watcher.emplace(); });
        CallCancel waiting(false);
        const CancelWatcher::Running runs(*watcher, waiting, dir / "missing/cancel");
        for (char c = 0; ::write(toParent[1], &tid, sizeof tid) == sizeof tid && ::read(toChild[0], &c, 1) == 1;) {
            CallCancel other(false);
            const CancelWatcher::Running otherRuns(*watcher, other, dir / "other");
        }
        _exit(0);
    }
    ::close(toParent[1]);
    ::close(toChild[0]);
    struct Reap {
        pid_t child, traced;
        int fds[2];
        ~Reap()
        {
            ::kill(child, SIGKILL);
            int status = 0;
            if (traced > 0)
                ::waitpid(traced, &status, __WALL);
            ::waitpid(child, &status, 0);
            ::close(fds[0]);
            ::close(fds[1]);
        }
    } reap{child, -1, {toParent[0], toChild[1]}};
    pid_t thread = -1;
    ASSERT_EQ(::read(toParent[0], &thread, sizeof thread), static_cast<ssize_t>(sizeof thread));
    ASSERT_GT(thread, 0);
    if (::ptrace(PTRACE_SEIZE, thread, nullptr, PTRACE_O_TRACESYSGOOD) != 0)
        GTEST_SKIP() << "cannot trace a thread here: " << std::strerror(errno);
    reap.traced = thread;
    ASSERT_EQ(::ptrace(PTRACE_INTERRUPT, thread, nullptr, nullptr), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(thread, &status, __WALL), thread);
    __ptrace_syscall_info probe{};
    if (::ptrace(PTRACE_GET_SYSCALL_INFO, thread, sizeof probe, &probe) <= 0)
        GTEST_SKIP() << "no PTRACE_GET_SYSCALL_INFO here: " << std::strerror(errno);

    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(holdAtNextCallNaming(child, thread, dir.path()));
        ASSERT_EQ(::write(toChild[1], "g", 1), 1);
        pollfd p{toParent[0], POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1) << "a read waited for the watcher thread's file-system call";
        ASSERT_EQ(::read(toParent[0], &thread, sizeof thread), static_cast<ssize_t>(sizeof thread));
    }
}
