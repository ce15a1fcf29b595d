// A running call's interrupt and the one wait of the probes: a raised
// interrupt ends a wait on a silent socket, or a sleep, at once and without
// slices; the first cause is the one that stays.

#include "CallCancel.h"

#include "Settings.h"
#include "Wait.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One end of a socket pair that nobody writes to: never readable.
struct SilentSocket {
    int fds[2] = {-1, -1};
    SilentSocket() { ::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds); }
    ~SilentSocket()
    {
        ::close(fds[0]);
        ::close(fds[1]);
    }
};

}  // namespace

TEST(CallCancel, RaisedInterruptEndsAWaitOrASleepAtOnce)
{
    struct Case {
        const char* name;
        bool sleeps;
        CallCancel::Cause cause;
    } cases[] = {{"wait, cancel", false, CallCancel::Cause::Cancel},
                 {"wait, stop", false, CallCancel::Cause::Stop},
                 {"sleep, cancel", true, CallCancel::Cause::Cancel},
                 {"sleep, stop", true, CallCancel::Cause::Stop}};
    for (const Case& c : cases) {
        SilentSocket socket;
        CallCancel cancel(false);
        ASSERT_GE(cancel.fd(), 0);
        std::thread raiser([&] {
            std::this_thread::sleep_for(50ms);
            cancel.raise(c.cause);
        });
        const auto start = Clock::now();
        const WaitResult result = c.sleeps ? sleepUntil(deadlineAfter(20000), cancel.check())
                                           : waitFor(socket.fds[0], POLLIN, deadlineAfter(20000), cancel.check());
        raiser.join();
        EXPECT_EQ(result, WaitResult::Cancelled) << c.name;
        EXPECT_LT(Clock::now() - start, 2s) << c.name;
        EXPECT_EQ(cancel.stopped(), c.cause == CallCancel::Cause::Stop) << c.name;
    }
}

TEST(CallCancel, FirstCauseStaysAndOnlyFollowersHeedTheProcessFlag)
{
    gCancelFlag = 0;
    CallCancel own(false), follower(true);
    EXPECT_FALSE(own.cancelled());
    EXPECT_FALSE(follower.cancelled());
    gCancelFlag = 1;
    EXPECT_FALSE(own.cancelled());
    EXPECT_TRUE(follower.cancelled());
    gCancelFlag = 0;

    own.raise(CallCancel::Cause::Cancel);
    own.raise(CallCancel::Cause::Stop);
    EXPECT_TRUE(own.cancelled());
    EXPECT_FALSE(own.stopped());
}

TEST(CallCancel, WaitWithAnInterruptThatStaysQuietRunsToItsDeadline)
{
    SilentSocket socket;
    CallCancel cancel(false);
    const auto start = Clock::now();
    EXPECT_EQ(waitFor(socket.fds[0], POLLIN, deadlineAfter(100), cancel.check()), WaitResult::TimedOut);
    EXPECT_GE(Clock::now() - start, 90ms);
    EXPECT_EQ(sleepUntil(deadlineAfter(50), cancel.check()), WaitResult::TimedOut);
}

TEST(CallCancel, DescriptorReadableWhileTheCheckSaysNoDoesNotSpin)
{
    // A check that never cancels beside a descriptor that is always readable:
    // the wait must still end at its deadline, by slices, not busy-loop on it.
    SilentSocket socket;
    int always[2];
    ASSERT_EQ(::pipe(always), 0);
    ASSERT_EQ(::write(always[1], "x", 1), 1);
    const CancelCheck never([] { return false; }, always[0]);
    const auto start = Clock::now();
    EXPECT_EQ(waitFor(socket.fds[0], POLLIN, deadlineAfter(100), never), WaitResult::TimedOut);
    EXPECT_EQ(sleepUntil(deadlineAfter(100), never), WaitResult::TimedOut);
    EXPECT_LT(Clock::now() - start, 2s);
    ::close(always[0]);
    ::close(always[1]);
}
