#include "CancelWatcher.h"

#include "Settings.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/inotify.h>

#include <chrono>
#include <cstring>
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
    writeFile(path, "");
    gCancelFlag = 0;
    CancelWatcher watcher;
    {
        CallCancel read(false);
        const CancelWatcher::Running running(watcher, read, file(path));
    }
    CallCancel follower(true);
    const CancelWatcher::Running followerRuns(watcher, follower, std::nullopt);

    // The byte lands after the read has answered: the file is taken as its
    // watcher took it, and the reads that follow gCancelFlag are cancelled.
    writeFile(path, "\x01");
    watcher.cancelWritten(path);
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(gCancelFlag.load(), 1);
    EXPECT_TRUE(follower.cancelled());

    // The next read of that file starts on an empty slate.
    gCancelFlag = 0;
    writeFile(path, "");
    CallCancel next(false);
    const CancelWatcher::Running nextRuns(watcher, next, file(path));
    EXPECT_FALSE(next.cancelled());

    // A file no read ever watched keeps its byte, as before.
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
