#include "FileTurns.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const FileTurns::Key kFile{1, 42, {}};

// Waits until key has count writers (holding or queued); false after 5 s.
bool waitForWriters(const FileTurns& turns, const FileTurns::Key& key, std::size_t count)
{
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (turns.writers(key) != count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

}  // namespace

TEST(FileTurns, OneWriterOfAFileAtATimeInTheOrderTheyCame)
{
    FileTurns turns;
    std::mutex mutex;
    std::vector<int> order;
    auto first = turns.take(kFile);
    ASSERT_TRUE(first);

    std::vector<std::thread> waiting;
    for (int k = 0; k < 3; ++k) {
        waiting.emplace_back([&, k] {
            const auto turn = turns.take(kFile);
            std::lock_guard lock(mutex);
            order.push_back(turn ? k : -1);
        });
        ASSERT_TRUE(waitForWriters(turns, kFile, static_cast<std::size_t>(k) + 2));
    }
    std::this_thread::sleep_for(50ms);
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(order.empty()) << "a writer got a turn that was held";
    }
    first.reset();
    for (auto& t : waiting)
        t.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(turns.writers(kFile), 0u);
}

TEST(FileTurns, OtherFilesAndNamesInAFolderDoNotWait)
{
    FileTurns turns;
    const auto held = turns.take(kFile);
    ASSERT_TRUE(held);
    const FileTurns::Key others[] = {
        {1, 43, {}},          // another inode
        {2, 42, {}},          // the same inode number on another device
        {1, 42, "name"},      // a name in the folder whose inode this is
        {1, 42, "other"},
    };
    for (const auto& key : others) {
        auto taken = std::async(std::launch::async, [&] { return turns.take(key).has_value(); });
        ASSERT_EQ(taken.wait_for(5s), std::future_status::ready) << key.inode << " " << key.name;
        EXPECT_TRUE(taken.get());
    }
}

TEST(FileTurns, StopEndsEveryWaitAndRefusesNewTurns)
{
    FileTurns turns;
    auto held = turns.take(kFile);
    ASSERT_TRUE(held);
    auto waiter = std::async(std::launch::async, [&] { return turns.take(kFile).has_value(); });
    ASSERT_TRUE(waitForWriters(turns, kFile, 2));
    turns.stop();
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(waiter.get());
    EXPECT_FALSE(turns.take({1, 99, {}}));
    held.reset();
    EXPECT_EQ(turns.writers(kFile), 0u);
}
