#pragma once
// The interrupt of one running network call. It is raised by the call's own
// cancel file (through the CancelWatcher), by the service stopping, and, for
// SNMP reads whose cancel flag is "NULL", by gCancelFlag: such a read follows
// the process-wide flag as it always has. A raised interrupt makes its
// descriptor readable, so a wait polls it beside its socket and ends at once.

#include "UniqueFd.h"
#include "Wait.h"

#include <atomic>

class CallCancel {
public:
    enum class Cause { None, Cancel, Stop };

    // followsCancelFlag: the call is also cancelled while gCancelFlag is non-zero.
    explicit CallCancel(bool followsCancelFlag);
    CallCancel(const CallCancel&) = delete;
    CallCancel& operator=(const CallCancel&) = delete;

    // The first cause wins; later raises only wake the wait again.
    void raise(Cause cause);

    bool cancelled() const;
    bool stopped() const { return cause_.load() == Cause::Stop; }
    bool followsCancelFlag() const { return followsCancelFlag_; }

    // Readable once raised; -1 when no descriptor could be made (the waits
    // then fall back to short slices).
    int fd() const { return fd_.get(); }

    // The check the probes' waits take: this interrupt, polled beside their
    // socket.
    CancelCheck check() const;

private:
    const bool followsCancelFlag_;
    std::atomic<Cause> cause_{Cause::None};
    UniqueFd fd_;
};
