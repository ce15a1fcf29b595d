#include "CancelWatcher.h"

#include "Settings.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

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

}  // namespace

TEST(CancelWatcher, EmptyFileKeepsPollingAndANonEmptyOneCancelsAndIsRemoved)
{
    TempDir dir;
    const std::string path = dir / "cancel";
    writeFile(path, "");
    gCancelFlag = 0;
    CancelWatcher watcher;
    watcher.watch(path);
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_EQ(gCancelFlag.load(), 0);
    EXPECT_TRUE(exists(path));
    EXPECT_TRUE(watcher.isWatched(path));

    writeFile(path, "\x01");
    EXPECT_TRUE(within(std::chrono::milliseconds(100), [&] { return gCancelFlag.load() == 1 && !exists(path); }));
    EXPECT_TRUE(within(std::chrono::milliseconds(100), [&] { return !watcher.isWatched(path); }));
    gCancelFlag = 0;
}

TEST(CancelWatcher, MissingPathCountsAsNoCancelYet)
{
    TempDir dir;
    const std::string path = dir / "later";
    gCancelFlag = 0;
    CancelWatcher watcher;
    watcher.watch(path);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(gCancelFlag.load(), 0);
    writeFile(path, "\x01");
    EXPECT_TRUE(within(std::chrono::milliseconds(500), [&] { return gCancelFlag.load() == 1 && !exists(path); }));
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
    watcher.watch(path);
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_EQ(gCancelFlag.load(), 0);
    EXPECT_EQ(readFile(path + "/inside"), "keep");
}

TEST(CancelWatcher, WatchedPathsAreBoundedAndTheOldestIsDroppedFirst)
{
    TempDir dir;
    gCancelFlag = 0;
    CancelWatcher watcher;
    const std::size_t extra = 10;
    for (std::size_t i = 0; i < CancelWatcher::kMaxPaths + extra; ++i)
        watcher.watch(dir / std::to_string(i));
    EXPECT_EQ(watcher.watchedCount(), CancelWatcher::kMaxPaths);
    EXPECT_FALSE(watcher.isWatched(dir / "0"));
    EXPECT_FALSE(watcher.isWatched(dir / std::to_string(extra - 1)));
    EXPECT_TRUE(watcher.isWatched(dir / std::to_string(extra)));

    // Watching a path again moves it to the newest end instead of adding it.
    watcher.watch(dir / std::to_string(extra));
    watcher.watch(dir / "one more");
    EXPECT_EQ(watcher.watchedCount(), CancelWatcher::kMaxPaths);
    EXPECT_TRUE(watcher.isWatched(dir / std::to_string(extra)));
    EXPECT_FALSE(watcher.isWatched(dir / std::to_string(extra + 1)));
}

TEST(CancelWatcher, DestructorStopsTheThreadPromptly)
{
    const auto start = Clock::now();
    {
        CancelWatcher watcher;
        watcher.watch("/nonexistent-ph-frame-path");
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}
