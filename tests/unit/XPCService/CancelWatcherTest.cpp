#include "CancelWatcher.h"

#include "Settings.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Waits up to limit for done() to hold.
template <typename Done>
bool within(std::chrono::milliseconds limit, Done done)
{
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool readable(const CallCancel& cancel)
{
    pollfd p{cancel.fd(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

std::optional<std::string> file(const std::string& path) { return path; }

// Appends one cancel byte, as another program would.
void appendByte(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0664);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(::write(fd, "\x01", 1), 1);
    ::close(fd);
}

// How a test hands its cancel byte over: as another program writes it, or
// as the cancel call does (append, then tell the watcher which path).
enum class Writer { Outside, CancelCall };
const char* nameOf(Writer w) { return w == Writer::Outside ? "written from outside" : "through the cancel call"; }

void cancelThrough(Writer w, CancelWatcher& watcher, const std::string& path)
{
    appendByte(path);
    if (w == Writer::CancelCall)
        watcher.cancelWritten(path);
}

}  // namespace

TEST(CancelWatcher, EmptyFileKeepsWatchingAndANonEmptyOneCancelsAndIsRemoved)
{
    TempDir dir;
    const std::string path = dir / "cancel";
    writeFile(path, "");
    gCancelFlag = 0;
    CancelWatcher watcher;
    CallCancel cancel(false);
    const CancelWatcher::Running running(watcher, cancel, file(path));
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(gCancelFlag.load(), 0);
    EXPECT_FALSE(cancel.cancelled());
    EXPECT_TRUE(exists(path));
    EXPECT_TRUE(watcher.isWatched(path));

    writeFile(path, "\x01");
    EXPECT_TRUE(within(100ms, [&] { return gCancelFlag.load() == 1 && !exists(path) && cancel.cancelled(); }));
    EXPECT_TRUE(readable(cancel));
    EXPECT_FALSE(cancel.stopped());
    EXPECT_TRUE(within(100ms, [&] { return !watcher.isWatched(path); }));
    gCancelFlag = 0;
}

TEST(CancelWatcher, MissingPathCountsAsNoCancelYet)
{
    TempDir dir;
    const std::string path = dir / "later";
    gCancelFlag = 0;
    CancelWatcher watcher;
    CallCancel cancel(false);
    const CancelWatcher::Running running(watcher, cancel, file(path));
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(gCancelFlag.load(), 0);
    writeFile(path, "\x01");
    EXPECT_TRUE(within(500ms, [&] { return gCancelFlag.load() == 1 && !exists(path) && cancel.cancelled(); }));
    gCancelFlag = 0;
}

TEST(CancelWatcher, FolderAtThePathNeitherCancelsNorIsRemoved)
{
    TempDir dir;
    const std::string path = dir / "folder";
    std::filesystem::create_directory(path);
    writeFile(path + "/inside", "keep");
    gCancelFlag = 0;
    CancelWatcher watcher;
    CallCancel cancel(false);
    const CancelWatcher::Running running(watcher, cancel, file(path));
    writeFile(path + "/other", "x");
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(gCancelFlag.load(), 0);
    EXPECT_FALSE(cancel.cancelled());
    EXPECT_EQ(readFile(path + "/inside"), "keep");
}

TEST(CancelWatcher, PathIsWatchedOnlyWhileAReadThatNamedItRuns)
{
    TempDir dir;
    const std::string path = dir / "cancel";
    writeFile(path, "");
    gCancelFlag = 0;
    CancelWatcher watcher;
    {
        CallCancel first(false), second(false);
        const CancelWatcher::Running one(watcher, first, file(path));
        {
            const CancelWatcher::Running two(watcher, second, file(path));
            EXPECT_EQ(watcher.watchedCount(), 1u);
        }
        EXPECT_TRUE(watcher.isWatched(path));
    }
    EXPECT_FALSE(watcher.isWatched(path));
    EXPECT_EQ(watcher.watchedCount(), 0u);

    // Nobody reads: a cancel written now stays in the file and cancels nothing.
    writeFile(path, "\x01");
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(gCancelFlag.load(), 0);
    EXPECT_EQ(readFile(path), "\x01");
}

TEST(CancelWatcher, CancelReachesTheReadsOfThatFileAndTheReadsThatFollowTheFlagOnly)
{
    TempDir dir;
    const std::string mine = dir / "mine";
    const std::string other = dir / "other";
    writeFile(mine, "");
    writeFile(other, "");
    gCancelFlag = 0;
    CancelWatcher watcher;
    CallCancel a(false), alsoA(false), b(false), follower(true), echo(false);
    const CancelWatcher::Running ra(watcher, a, file(mine));
    const CancelWatcher::Running ra2(watcher, alsoA, file(mine));
    const CancelWatcher::Running rb(watcher, b, file(other));
    const CancelWatcher::Running rf(watcher, follower, std::nullopt);
    const CancelWatcher::Running re(watcher, echo, std::nullopt);

    writeFile(mine, "\x01");
    ASSERT_TRUE(within(200ms, [&] { return a.cancelled() && alsoA.cancelled(); }));
    struct Case {
        const char* name;
        const CallCancel& call;
        bool cancelled;
    } cases[] = {{"same file", a, true},        {"same file, second read", alsoA, true},
                 {"other file", b, false},      {"follows gCancelFlag", follower, true},
                 {"no file, own cancel", echo, false}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.call.cancelled(), c.cancelled) << c.name;
        EXPECT_EQ(readable(c.call), c.cancelled) << c.name;
    }
    EXPECT_TRUE(exists(other));
    EXPECT_TRUE(watcher.isWatched(other));
    gCancelFlag = 0;
}

TEST(CancelWatcher, FileAlreadyNonEmptyCancelsTheReadAtOnce)
{
    TempDir dir;
    const std::string path = dir / "cancel";
    writeFile(path, "\x01");
    gCancelFlag = 0;
    CancelWatcher watcher;
    CallCancel cancel(false);
    const CancelWatcher::Running running(watcher, cancel, file(path));
    EXPECT_TRUE(cancel.cancelled());
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(gCancelFlag.load(), 1);
    gCancelFlag = 0;
}

TEST(CancelWatcher, CancelWrittenJustAfterItsReadAnsweredIsTakenAndSparesTheNextRead)
{
    TempDir dir;
    const std::string path = dir / "cancel";
    const std::string unknown = dir / "never-watched";
    // The late cancel may spell the file as its read did or otherwise.
    for (const std::string& late : {path, dir / "./cancel"}) {
        SCOPED_TRACE(late);
        writeFile(path, "");
        gCancelFlag = 0;
        CancelWatcher watcher;
        {
            CallCancel read(false);
            const CancelWatcher::Running running(watcher, read, file(path));
        }
        CallCancel follower(true);
        const CancelWatcher::Running followerRuns(watcher, follower, std::nullopt);

        // The byte lands after the read has answered: the file is taken as
        // its watcher took it, and the reads that follow gCancelFlag are
        // cancelled.
        writeFile(late, "\x01");
        watcher.cancelWritten(late);
        EXPECT_FALSE(exists(path));
        EXPECT_EQ(gCancelFlag.load(), 1);
        EXPECT_TRUE(follower.cancelled());

        // The next read of that file starts on an empty slate.
        gCancelFlag = 0;
        writeFile(path, "");
        CallCancel next(false);
        const CancelWatcher::Running nextRuns(watcher, next, file(path));
        EXPECT_FALSE(next.cancelled());
    }

    // A file no read ever watched keeps its byte, as before.
    CancelWatcher watcher;
    writeFile(unknown, "\x01");
    watcher.cancelWritten(unknown);
    EXPECT_TRUE(exists(unknown));
    EXPECT_EQ(gCancelFlag.load(), 0);
}

TEST(CancelWatcher, StoredFlagReachesOnlyTheReadsThatFollowIt)
{
    gCancelFlag = 0;
    CancelWatcher watcher;
    CallCancel follower(true), own(false);
    const CancelWatcher::Running rf(watcher, follower, std::nullopt);
    const CancelWatcher::Running ro(watcher, own, std::nullopt);
    watcher.storeCancelFlag(0);
    EXPECT_FALSE(follower.cancelled());
    watcher.storeCancelFlag(1);
    EXPECT_TRUE(follower.cancelled());
    EXPECT_TRUE(readable(follower));
    EXPECT_FALSE(own.cancelled());
    EXPECT_FALSE(readable(own));
    gCancelFlag = 0;
}

TEST(CancelWatcher, StopInterruptsEveryRunningCallAndEveryLaterOne)
{
    gCancelFlag = 0;
    CancelWatcher watcher;
    CallCancel before(false);
    const CancelWatcher::Running rb(watcher, before, std::nullopt);
    watcher.stopAll();
    EXPECT_TRUE(before.stopped());
    EXPECT_TRUE(readable(before));
    CallCancel after(true);
    const CancelWatcher::Running ra(watcher, after, std::nullopt);
    EXPECT_TRUE(after.stopped());
    EXPECT_TRUE(after.cancelled());
    EXPECT_EQ(gCancelFlag.load(), 0);
}

TEST(CancelWatcher, DestructorStopsTheThreadPromptly)
{
    const auto start = Clock::now();
    {
        CancelWatcher watcher;
        CallCancel cancel(false);
        const CancelWatcher::Running running(watcher, cancel, file("/nonexistent-ph-frame-path"));
        std::this_thread::sleep_for(30ms);
    }
    EXPECT_LT(Clock::now() - start, 2s);
}

TEST(CancelWatcherPaths, SplitsIntoTheFolderToWatchAndTheName)
{
    struct Case {
        std::string path;
        std::optional<std::pair<std::string, std::string>> split;
    } cases[] = {
        {"/tmp/cancel", std::make_pair("/tmp", "cancel")},
        {"cancel", std::make_pair(".", "cancel")},
        {"/cancel", std::make_pair("/", "cancel")},
        {"a//b", std::make_pair("a/", "b")},
        {"/tmp/", std::nullopt},
        {"", std::nullopt},
        {"/tmp/.", std::nullopt},
        {"..", std::nullopt},
        {std::string("a\0b", 3), std::nullopt},
    };
    for (const Case& c : cases) {
        const auto got = splitWatchedPath(c.path);
        ASSERT_EQ(got.has_value(), c.split.has_value()) << c.path;
        if (got) {
            EXPECT_EQ(got->folder, c.split->first) << c.path;
            EXPECT_EQ(got->name, c.split->second) << c.path;
        }
    }
}

TEST(CancelWatcherPaths, ReadsWholeInotifyRecordsAndStopsAtOneThatDoesNotFit)
{
    std::vector<unsigned char> buffer;
    auto append = [&](int wd, uint32_t mask, const std::string& name, uint32_t len) {
        inotify_event e{};
        e.wd = wd;
        e.mask = mask;
        e.len = len;
        const auto* p = reinterpret_cast<const unsigned char*>(&e);
        buffer.insert(buffer.end(), p, p + sizeof e);
        std::string padded = name;
        padded.resize(len, '\0');
        buffer.insert(buffer.end(), padded.begin(), padded.end());
    };
    append(1, IN_MODIFY, "cancel", 16);
    append(2, IN_Q_OVERFLOW, "", 0);
    append(3, IN_CREATE, "full-length-name", 16);  // no NUL inside its length
    append(4, IN_CREATE, "cut", 32);
    buffer.resize(buffer.size() - 8);  // the last record no longer fits

    std::vector<std::tuple<int, uint32_t, std::string>> seen;
    const std::size_t count = forEachInotifyEvent(buffer.data(), buffer.size(), [&](int wd, uint32_t mask, std::string_view name) {
        seen.emplace_back(wd, mask, std::string(name));
    });
    EXPECT_EQ(count, 3u);
    const std::vector<std::tuple<int, uint32_t, std::string>> expected = {
        {1, IN_MODIFY, "cancel"}, {2, IN_Q_OVERFLOW, ""}, {3, IN_CREATE, "full-length-name"}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(forEachInotifyEvent(buffer.data(), sizeof(inotify_event) - 1, [](int, uint32_t, std::string_view) {}), 0u);
}

TEST(CancelWatcherPaths, LinkTargetsAreReadFromTheLinksFolder)
{
    struct Case {
        const char* link;
        const char* target;
        const char* leadsTo;
    } cases[] = {
        {"/tmp/x/l", "t", "/tmp/x/t"},        {"/tmp/x/l", "../y/t", "/tmp/x/../y/t"},
        {"/tmp/x/l", "/abs/t", "/abs/t"},     {"l", "t", "./t"},
        {"/l", "t", "/t"},                    {"a//l", "t", "a//t"},
        {"x/l", "", "x/"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(linkTargetPath(c.link, c.target), c.leadsTo) << c.link << " -> " << c.target;
}

// --- one file, whatever its name -------------------------------------------

TEST(CancelWatcher, OneCancelEndsTheReadsOfEverySpellingOfTheFile)
{
    TempDir dir;
    std::filesystem::create_directory(dir / "x");
    std::filesystem::create_directory_symlink(dir / "x", dir / "via");
    const std::string path = dir / "x/b";
    const std::string relative = std::filesystem::relative(path).string();
    ASSERT_NE(relative.front(), '/');
    const std::pair<const char*, std::string> spellings[] = {
        {"with /./", dir / "x/./b"},
        {"with //", dir / "x//b"},
        {"with /../", dir / "x/../x/b"},
        {"relative", relative},
        {"through a linked folder", dir / "via/b"},
    };
    for (const auto& [label, other] : spellings) {
        for (Writer writer : {Writer::Outside, Writer::CancelCall}) {
            SCOPED_TRACE(std::string(label) + ", " + nameOf(writer));
            writeFile(path, "");
            gCancelFlag = 0;
            CancelWatcher watcher;
            CallCancel first(false), second(false);
            const CancelWatcher::Running a(watcher, first, file(path));
            const CancelWatcher::Running b(watcher, second, file(other));
            EXPECT_EQ(watcher.watchedCount(), 1u);
            EXPECT_TRUE(watcher.isWatched(other));
            EXPECT_TRUE(watcher.isWatched(path));

            // The byte goes in by the second read's spelling.
            cancelThrough(writer, watcher, other);
            EXPECT_TRUE(within(1000ms, [&] { return first.cancelled() && second.cancelled(); }))
                << "first " << first.cancelled() << ", second " << second.cancelled();
            EXPECT_TRUE(within(1000ms, [&] { return !exists(path) && watcher.watchedCount() == 0; }));
            EXPECT_EQ(gCancelFlag.load(), 1);
        }
    }
    gCancelFlag = 0;
}

TEST(CancelWatcher, AByteWrittenWhereALinkedCancelFileLeadsCancelsItsRead)
{
    struct Case {
        const char* name;
        const char* linkHolds;  // the link at dir/link, relative to dir
        const char* byteTo;     // where the byte goes, relative to dir
        const char* repointTo;  // while the read runs, the link is made anew to lead here
        Writer writer;
    } cases[] = {
        {"absolute link, byte to its target", "@other/target", "other/target", nullptr, Writer::Outside},
        {"relative link, byte to its target", "other/target", "other/target", nullptr, Writer::Outside},
        {"chain of two links, byte to the last target", "second", "other/target", nullptr, Writer::Outside},
        {"byte to the target through the cancel call", "other/target", "other/target", nullptr, Writer::CancelCall},
        {"byte through the link itself", "other/target", "link", nullptr, Writer::Outside},
        {"link made anew while the read runs", "other/target", "third/new", "third/new", Writer::Outside},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::filesystem::create_directory(dir / "other");
        std::filesystem::create_directory(dir / "third");
        writeFile(dir / "other/target", "");
        writeFile(dir / "third/new", "");
        std::filesystem::create_symlink("other/target", dir / "second");
        const std::string holds = c.linkHolds[0] == '@' ? dir / (c.linkHolds + 1) : c.linkHolds;
        std::filesystem::create_symlink(holds, dir / "link");
        gCancelFlag = 0;
        CancelWatcher watcher;
        CallCancel cancel(false);
        const CancelWatcher::Running running(watcher, cancel, file(dir / "link"));
        EXPECT_TRUE(watcher.isWatched(dir / "other/target"));
        if (c.repointTo) {
            // As ln -sf does it: a new link, renamed over the old one.
            std::filesystem::create_symlink(c.repointTo, dir / "link.new");
            std::filesystem::rename(dir / "link.new", dir / "link");
            EXPECT_TRUE(within(1000ms, [&] { return watcher.isWatched(dir / c.repointTo); }));
        }
        std::this_thread::sleep_for(30ms);
        EXPECT_FALSE(cancel.cancelled());

        cancelThrough(c.writer, watcher, dir / c.byteTo);
        EXPECT_TRUE(within(1000ms, [&] { return cancel.cancelled(); }));
        EXPECT_EQ(gCancelFlag.load(), 1);
        // The name the read gave goes, as for a plain cancel file.
        EXPECT_TRUE(within(1000ms, [&] { return !exists(dir / "link"); }));
    }
    gCancelFlag = 0;
}

TEST(CancelWatcher, AFolderMadeAgainWhileItsReadRunsIsWatchedAgain)
{
    namespace fs = std::filesystem;
    struct Case {
        const char* name;
        void (*makeAgain)(const std::string& dir);
    } cases[] = {
        {"deleted and made again",
         [](const std::string& dir) {
             fs::remove_all(dir + "/p/sub");
             fs::create_directory(dir + "/p/sub");
         }},
        {"moved away and made again",
         [](const std::string& dir) {
             fs::rename(dir + "/p/sub", dir + "/moved");
             fs::create_directory(dir + "/p/sub");
         }},
        {"its parent deleted and made again",
         [](const std::string& dir) {
             fs::remove_all(dir + "/p");
             fs::create_directories(dir + "/p/sub");
         }},
    };
    for (const Case& c : cases) {
        for (Writer writer : {Writer::Outside, Writer::CancelCall}) {
            SCOPED_TRACE(std::string(c.name) + ", " + nameOf(writer));
            TempDir dir;
            fs::create_directories(dir / "p/sub");
            const std::string path = dir / "p/sub/cancel";
            writeFile(path, "");
            gCancelFlag = 0;
            CancelWatcher watcher;
            CallCancel cancel(false);
            const CancelWatcher::Running running(watcher, cancel, file(path));
            std::this_thread::sleep_for(30ms);
            c.makeAgain(dir.path());
            std::this_thread::sleep_for(30ms);
            if (writer == Writer::CancelCall)
                writeFile(path, "");  // the cancel call only appends to a file that is there
            EXPECT_FALSE(cancel.cancelled());

            cancelThrough(writer, watcher, path);
            EXPECT_TRUE(within(1000ms, [&] { return cancel.cancelled(); }));
            EXPECT_TRUE(within(1000ms, [&] { return !exists(path); }));
            EXPECT_EQ(gCancelFlag.load(), 1);
        }
    }
    gCancelFlag = 0;
}

// --- the lock is never held across the file system ------------------------

namespace {

// The system calls by which the watcher reaches into the file system.
bool reachesTheFileSystem(uint64_t nr)
{
    static const long kCalls[] = {
        SYS_newfstatat, SYS_statx,  SYS_statfs,   SYS_inotify_add_watch, SYS_inotify_rm_watch,
        SYS_unlinkat,   SYS_readlinkat,
#ifdef SYS_stat
        SYS_stat,       SYS_lstat,  SYS_unlink,   SYS_readlink,
#endif
    };
    return std::find(std::begin(kCalls), std::end(kCalls), static_cast<long>(nr)) != std::end(kCalls);
}

// The one thread of pid that is not its main thread.
pid_t otherThreadOf(pid_t pid)
{
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        const pid_t tid = std::stoi(entry.path().filename().string());
        if (tid != pid)
            return tid;
    }
    return -1;
}

// Runs the traced thread to the entry of its next file-system call and
// leaves it stopped there: as a call into a network file system that hangs.
bool holdAtNextFileSystemCall(pid_t tid)
{
    for (int i = 0; i < 100000; ++i) {
        int status = 0;
        if (::ptrace(PTRACE_SYSCALL, tid, nullptr, nullptr) != 0 || ::waitpid(tid, &status, __WALL) != tid)
            return false;
        if (!WIFSTOPPED(status) || WSTOPSIG(status) != (SIGTRAP | 0x80))
            continue;
        __ptrace_syscall_info info{};
        if (::ptrace(PTRACE_GET_SYSCALL_INFO, tid, sizeof info, &info) <= 0)
            return false;
        if (info.op == PTRACE_SYSCALL_INFO_ENTRY && reachesTheFileSystem(info.entry.nr))
            return true;
    }
    return false;
}

}  // namespace

TEST(CancelWatcher, CallsStartAndEndWhileTheWatcherThreadHangsInTheFileSystem)
{
    TempDir dir;
    int toParent[2], toChild[2];
    ASSERT_EQ(::pipe2(toParent, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A watcher with a read whose folder is missing, so that its thread
        // looks at the file system every period; then, on each request,
        // one more call starts and ends, and the time that took is sent.
        // It ends with the test's process, or when the test closes its pipe.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::close(toParent[0]);
        ::close(toChild[1]);
        CancelWatcher watcher;
        CallCancel lost(false);
        const CancelWatcher::Running lostRuns(watcher, lost, file("/nonexistent-ph-frame-folder/cancel"));
        char c = 'r';
        if (::write(toParent[1], &c, 1) != 1)
            _exit(1);
        for (int round = 0; ::read(toChild[0], &c, 1) == 1; ++round) {
            const auto start = Clock::now();
            {
                CallCancel other(false);
                const CancelWatcher::Running runs(watcher, other, file(dir / ("c" + std::to_string(round))));
            }
            const int32_t ms = static_cast<int32_t>((Clock::now() - start) / 1ms);
            if (::write(toParent[1], &ms, sizeof ms) != sizeof ms)
                _exit(1);
        }
        _exit(0);
    }
    ::close(toParent[1]);
    ::close(toChild[0]);
    struct Reap {
        pid_t pid;
        int fds[2];
        pid_t thread = -1;
        ~Reap()
        {
            ::kill(pid, SIGKILL);
            int status = 0;
            if (thread > 0)
                ::waitpid(thread, &status, __WALL);
            ::waitpid(pid, &status, 0);
            ::close(fds[0]);
            ::close(fds[1]);
        }
    } reap{child, {toParent[0], toChild[1]}};
    char ready = 0;
    ASSERT_EQ(::read(toParent[0], &ready, 1), 1);
    const pid_t watcherThread = otherThreadOf(child);
    ASSERT_GT(watcherThread, 0);
    ASSERT_EQ(::ptrace(PTRACE_SEIZE, watcherThread, nullptr, PTRACE_O_TRACESYSGOOD), 0) << std::strerror(errno);
    reap.thread = watcherThread;
    ASSERT_EQ(::ptrace(PTRACE_INTERRUPT, watcherThread, nullptr, nullptr), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(watcherThread, &status, __WALL), watcherThread);

    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(holdAtNextFileSystemCall(watcherThread));
        const char go = 'g';
        ASSERT_EQ(::write(toChild[1], &go, 1), 1);
        pollfd p{toParent[0], POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 3000), 1) << "a call waited for the watcher thread's file-system call";
        int32_t ms = -1;
        ASSERT_EQ(::read(toParent[0], &ms, sizeof ms), static_cast<ssize_t>(sizeof ms));
        EXPECT_LT(ms, 1000);
    }
}
