#include "CallCancel.h"

#include "Settings.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

CallCancel::CallCancel(bool followsCancelFlag)
    : followsCancelFlag_(followsCancelFlag), fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

void CallCancel::raise(Cause cause)
{
    Cause expected = Cause::None;
    cause_.compare_exchange_strong(expected, cause);
    if (fd_) {
        // The counter only grows; it stays readable until the call ends.
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd_.get(), &one, sizeof one);
    }
}

bool CallCancel::cancelled() const
{
    return cause_.load() != Cause::None || (followsCancelFlag_ && gCancelFlag.load() != 0);
}

CancelCheck CallCancel::check() const
{
    return CancelCheck([this] { return cancelled(); }, fd());
}
