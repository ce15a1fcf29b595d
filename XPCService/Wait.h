#pragma once
// The one bounded wait of the network probes: readiness of one descriptor, or
// plain time, up to a deadline, optionally cut short by a cancel check. A
// per-call cancel or a service shutdown plugs in as another CancelCheck; the
// probes that wait do not change for it.

#include <chrono>
#include <functional>
#include <type_traits>
#include <utility>

using WaitClock = std::chrono::steady_clock;

// Answers true when the wait should end now. An empty check never cancels,
// and the wait then blocks in one piece instead of in slices. A check that
// comes with an interrupt descriptor (readable once the check turns true, as
// a running call's own interrupt is) is polled beside the wait's descriptor,
// so that wait too blocks in one piece and still ends at once.
class CancelCheck {
public:
    CancelCheck() = default;
    template <typename Test, typename = std::enable_if_t<std::is_invocable_r_v<bool, Test&>>>
    CancelCheck(Test test) : test_(std::move(test))
    {
    }
    CancelCheck(std::function<bool()> test, int interruptFd) : test_(std::move(test)), interruptFd_(interruptFd) {}

    explicit operator bool() const { return static_cast<bool>(test_); }
    bool operator()() const { return test_(); }
    int interruptFd() const { return test_ ? interruptFd_ : -1; }

private:
    std::function<bool()> test_;
    int interruptFd_ = -1;
};

// The longest a wait goes without asking its cancel check.
constexpr auto kCancelSlice = std::chrono::milliseconds(10);

enum class WaitResult {
    Ready,     // one of the asked events is there
    Error,     // the descriptor reports an error (POLLERR: e.g. an ICMP error queued)
    TimedOut,  // the deadline passed first (a poll that fails waits it out)
    Cancelled, // the cancel check answered true
};

// Waits until fd reports one of events (poll(2) bits) or the deadline
// passes; EINTR does not end it. A deadline already past polls once without
// blocking. The check is asked before every slice.
WaitResult waitFor(int fd, short events, WaitClock::time_point deadline, const CancelCheck& cancelled = {});

// Sleeps until the deadline: TimedOut when it was reached, Cancelled when the
// check said so first.
WaitResult sleepUntil(WaitClock::time_point deadline, const CancelCheck& cancelled = {});

// now + ms, with ms clamped to [0, 2^40] (about 35 years) so that no setting
// wraps the clock.
WaitClock::time_point deadlineAfter(int64_t ms);
