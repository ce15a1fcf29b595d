#include "Wait.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <thread>

namespace {

// What one poll or sleep may take: all that is left, or one slice when a
// check has to be asked in between and no interrupt descriptor wakes us.
std::chrono::milliseconds nextSlice(WaitClock::time_point deadline, const CancelCheck& cancelled, int interrupt)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - WaitClock::now());
    left = std::clamp(left, std::chrono::milliseconds(0), std::chrono::milliseconds(INT_MAX));
    const bool sliced = cancelled && interrupt < 0;
    return sliced ? std::min<std::chrono::milliseconds>(left, kCancelSlice) : left;
}

}  // namespace

WaitResult waitFor(int fd, short events, WaitClock::time_point deadline, const CancelCheck& cancelled)
{
    int interrupt = cancelled.interruptFd();
    for (;;) {
        if (cancelled && cancelled())
            return WaitResult::Cancelled;
        pollfd fds[2] = {{fd, events, 0}, {interrupt, POLLIN, 0}};
        const pollfd& p = fds[0];
        const nfds_t count = interrupt >= 0 ? 2 : 1;
        const int rc = ::poll(fds, count, static_cast<int>(nextSlice(deadline, cancelled, interrupt).count()));
        if (rc > 0 && p.revents == 0) {
            // The interrupt: the check decides, at the top. One that stays
            // readable while the check says no is left for slices.
            if (!cancelled())
                interrupt = -1;
            continue;
        }
        if (rc > 0) {
            // Asked-for data wins over an error: a reply already queued is
            // still the answer.
            if (p.revents & events)
                return WaitResult::Ready;
            if (p.revents & (POLLERR | POLLHUP | POLLNVAL))
                return WaitResult::Error;
        }
        // A poll that fails outright cannot tell us anything: the caller
        // still gets the whole time-out, as for an answer that never came.
        if (rc < 0 && errno != EINTR)
            return sleepUntil(deadline, cancelled);
        if (rc == 0 && WaitClock::now() >= deadline)
            return WaitResult::TimedOut;
    }
}

WaitResult sleepUntil(WaitClock::time_point deadline, const CancelCheck& cancelled)
{
    int interrupt = cancelled.interruptFd();
    for (;;) {
        if (cancelled && cancelled())
            return WaitResult::Cancelled;
        if (WaitClock::now() >= deadline)
            return WaitResult::TimedOut;
        const auto slice = nextSlice(deadline, cancelled, interrupt);
        if (interrupt >= 0) {
            pollfd p{interrupt, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(slice.count())) > 0 && !cancelled())
                interrupt = -1;
        } else {
            std::this_thread::sleep_for(slice);
        }
    }
}

WaitClock::time_point deadlineAfter(int64_t ms)
{
    // 2^40 ms is about 35 years: far beyond any time-out, far below overflow.
    constexpr int64_t kLongest = int64_t{1} << 40;
    return WaitClock::now() + std::chrono::milliseconds(std::clamp<int64_t>(ms, 0, kLongest));
}
