// The probes' one wait: readiness, time-out, cancel and error of a descriptor,
// on pipes and socket pairs (no packets).
#include "UniqueFd.h"
#include "Wait.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>

using namespace std::chrono_literals;

namespace {

struct Pair {
    UniqueFd a;
    UniqueFd b;
};

Pair socketPair()
{
    int fds[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

template <typename F>
std::chrono::milliseconds timed(F f)
{
    const auto start = WaitClock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(WaitClock::now() - start);
}

// Raised once `after` has passed since its creation.
CancelCheck raisedAfter(std::chrono::milliseconds after)
{
    const auto at = WaitClock::now() + after;
    return [at] { return WaitClock::now() >= at; };
}

// Makes the check right before its wait starts.
using CheckMaker = std::function<CancelCheck()>;
const CheckMaker kNoCheck = [] { return CancelCheck(); };
const CheckMaker kRaised = [] { return CancelCheck([] { return true; }); };
const CheckMaker kNeverRaised = [] { return CancelCheck([] { return false; }); };
CheckMaker raisedAfterStart(std::chrono::milliseconds after)
{
    return [after] { return raisedAfter(after); };
}

}  // namespace

TEST(Wait, AnswersReadyTimedOutCancelledOrErrorAsTheDescriptorAndCheckSay)
{
    struct Case {
        const char* what;
        bool dataWaiting;
        CheckMaker check;
        int64_t timeoutMs;
        WaitResult result;
        std::chrono::milliseconds atLeast;
        std::chrono::milliseconds below;
    } cases[] = {
        {"data waiting", true, kNoCheck, 2000, WaitResult::Ready, 0ms, 500ms},
        {"data waiting, deadline past", true, kNoCheck, 0, WaitResult::Ready, 0ms, 500ms},
        {"a raised check wins over waiting data", true, kRaised, 2000, WaitResult::Cancelled, 0ms, 500ms},
        {"nothing, no check", false, kNoCheck, 80, WaitResult::TimedOut, 75ms, 1000ms},
        {"nothing, check never raised", false, kNeverRaised, 80, WaitResult::TimedOut, 75ms, 1000ms},
        {"nothing, deadline past", false, kNoCheck, 0, WaitResult::TimedOut, 0ms, 500ms},
        {"check raised during the wait", false, raisedAfterStart(50ms), 5000, WaitResult::Cancelled, 45ms, 1000ms},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        Pair p = socketPair();
        if (c.dataWaiting) {
            ASSERT_EQ(::send(p.b.get(), "x", 1, 0), 1);
        }
        WaitResult result{};
        const CancelCheck check = c.check();
        const auto took = timed([&] { result = waitFor(p.a.get(), POLLIN, deadlineAfter(c.timeoutMs), check); });
        EXPECT_EQ(result, c.result);
        EXPECT_GE(took, c.atLeast);
        EXPECT_LT(took, c.below);
    }
}

TEST(Wait, ReportsAnErrorOnTheDescriptorAsError)
{
    // A pipe's write end whose reader is gone reports POLLERR.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    UniqueFd reader(fds[0]), writer(fds[1]);
    reader.reset();
    EXPECT_EQ(waitFor(writer.get(), POLLIN, deadlineAfter(2000)), WaitResult::Error);
}

TEST(Wait, SleepsToTheDeadlineUnlessCancelled)
{
    WaitResult result{};
    auto took = timed([&] { result = sleepUntil(deadlineAfter(60)); });
    EXPECT_EQ(result, WaitResult::TimedOut);
    EXPECT_GE(took, 55ms);
    EXPECT_LT(took, 1000ms);

    took = timed([&] { result = sleepUntil(deadlineAfter(5000), raisedAfter(40ms)); });
    EXPECT_EQ(result, WaitResult::Cancelled);
    EXPECT_GE(took, 35ms);
    EXPECT_LT(took, 1000ms);

    std::atomic<int> asked{0};
    result = sleepUntil(deadlineAfter(-5), [&] { return ++asked > 1; });
    EXPECT_EQ(result, WaitResult::TimedOut);
    EXPECT_EQ(asked.load(), 1);
}

TEST(Wait, ClampsDeadlinesSoNoSettingWrapsTheClock)
{
    const auto before = WaitClock::now();
    const auto negative = deadlineAfter(INT64_MIN);
    EXPECT_GE(negative, before);
    EXPECT_LE(negative, WaitClock::now());
    const auto now = WaitClock::now();
    EXPECT_GT(deadlineAfter(INT64_MAX), now + std::chrono::hours(24 * 365));
}
