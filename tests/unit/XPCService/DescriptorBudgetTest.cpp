#include "DescriptorBudget.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(DescriptorBudget, LeavesAReserveForEverythingButTheNetworkCalls)
{
    EXPECT_EQ(DescriptorBudget(64).available(), 24u);      // 32 + 64/8 kept
    EXPECT_EQ(DescriptorBudget(1024).available(), 864u);   // 32 + 128 kept
    EXPECT_EQ(DescriptorBudget(20).available(), 2u);       // never none at all
}

TEST(DescriptorBudget, ACallWaitsForDescriptorsToFreeUpWithinItsTimeOut)
{
    DescriptorBudget budget(64);
    std::vector<DescriptorBudget::Permit> held;
    for (int i = 0; i < 12; ++i) {
        held.push_back(budget.acquire(2, 0ms));
        ASSERT_TRUE(held.back());
    }
    EXPECT_EQ(budget.available(), 0u);

    const auto start = Clock::now();
    EXPECT_FALSE(budget.acquire(2, 100ms)) << "none freed up in time";
    EXPECT_GE(Clock::now() - start, 100ms);

    std::thread freer([&] {
        std::this_thread::sleep_for(50ms);
        held.pop_back();
    });
    EXPECT_TRUE(budget.acquire(2, 5000ms));
    freer.join();
}

TEST(DescriptorBudget, AStopEndsEveryWait)
{
    DescriptorBudget budget(20);
    auto all = budget.acquire(2, 0ms);
    ASSERT_TRUE(all);
    std::thread stopper([&] {
        std::this_thread::sleep_for(50ms);
        budget.stop();
    });
    const auto start = Clock::now();
    EXPECT_FALSE(budget.acquire(2, 60000ms));
    EXPECT_LT(Clock::now() - start, 5000ms);
    stopper.join();
    EXPECT_TRUE(budget.stopped());
    EXPECT_FALSE(budget.acquire(2, 0ms));
}

}  // namespace
