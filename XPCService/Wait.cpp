#include "Wait.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <thread>

namespace {

// What one poll or sleep may take: all that is left, or one slice when a
// check has to be asked in between.
std::chrono::milliseconds nextSlice(WaitClock::time_point deadline, bool sliced)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - WaitClock::now());
    left = std::clamp(left, std::chrono::milliseconds(0), std::chrono::milliseconds(INT_MAX));
    return sliced ? std::min<std::chrono::milliseconds>(left, kCancelSlice) : left;
}

}  // namespace

WaitResult waitFor(int fd, short events, WaitClock::time_point deadline, const CancelCheck& cancelled)
{
    for (;;) {
        if (cancelled && cancelled())
            return WaitResult::Cancelled;
        pollfd p{fd, events, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(nextSlice(deadline, static_cast<bool>(cancelled)).count()));
        if (rc > 0) {
            // Asked-for data wins over an error: a reply already queued is
            // still the answer.
            if (p.revents & events)
                return WaitResult::Ready;
            if (p.revents & (POLLERR | POLLHUP | POLLNVAL))
                return WaitResult::Error;
        }
        if (rc < 0 && errno != EINTR)
            return WaitResult::TimedOut;
        if (rc == 0 && WaitClock::now() >= deadline)
            return WaitResult::TimedOut;
    }
}

WaitResult sleepUntil(WaitClock::time_point deadline, const CancelCheck& cancelled)
{
    for (;;) {
        if (cancelled && cancelled())
            return WaitResult::Cancelled;
        if (WaitClock::now() >= deadline)
            return WaitResult::TimedOut;
        std::this_thread::sleep_for(nextSlice(deadline, static_cast<bool>(cancelled)));
    }
}

WaitClock::time_point deadlineAfter(int64_t ms)
{
    // 2^40 ms is about 35 years: far beyond any time-out, far below overflow.
    constexpr int64_t kLongest = int64_t{1} << 40;
    return WaitClock::now() + std::chrono::milliseconds(std::clamp<int64_t>(ms, 0, kLongest));
}
