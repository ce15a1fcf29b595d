#pragma once
// The service side of the connection layer: owns a bus name on the session
// bus, exports one object at "/" with one interface that holds the six
// operations of Protocol.h, each taking one string and answering one string,
// and hands every call to its client's worker (ClientQueue). One thread, the
// one that calls resume(), owns the connection and runs its event loop: it
// takes the calls in and sends the replies that workers queue.
// Every call is answered exactly once: by its handler, or with an error reply
// when the handler threw, answered nothing, the service is stopping, or its
// client has too many calls queued.

#include "ClientQueue.h"
#include "Protocol.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

using BusReply = std::function<void(const std::string&)>;

// What the calls of one client reach.
class BusExportedObject {
public:
    virtual ~BusExportedObject() = default;
    // Runs operation with request on the calling worker thread and answers
    // through reply before it returns.
    virtual void dispatch(Operation operation, const std::string& request, const BusReply& reply) = 0;
};

// One new client as the delegate sees it.
struct BusPeer {
    std::shared_ptr<BusExportedObject> exportedObject;  // set by the delegate; none: calls get an error
};

class BusListenerDelegate {
public:
    virtual ~BusListenerDelegate() = default;
    // Called on the bus thread for each new sender; false refuses its calls.
    virtual bool shouldAcceptNewConnection(BusPeer& peer) = 0;
    // Called once when the service stops: every running call must end its
    // waits now (its reply is no longer needed).
    virtual void serviceStopping() = 0;
    // Whether calls of operation may wait long (on the network): those share
    // the bounded set of workers, the others are never held behind them.
    virtual bool mayWait(Operation operation) const = 0;
};

// With no call running or queued and no client state left this long, the
// service gives its name back and exits; the next call starts it again.
inline constexpr std::chrono::seconds kIdleExit{30};

struct BusServiceLimits {
    // Calls that may wait running at once, the client's linger, and what
    // may be queued per client and in all.
    ClientQueue::Limits queue;
    // Running calls get this long to end at a stop; with thousands of them
    // their threads alone take a few hundred ms to end, and the process must
    // be gone within a second.
    std::chrono::milliseconds stopLimit{600};
    std::chrono::milliseconds idleExit{kIdleExit};
};

class BusService {
public:
    BusService(std::string busName, std::string interfaceName, BusServiceLimits limits = {});
    ~BusService();
    BusService(const BusService&) = delete;
    BusService& operator=(const BusService&) = delete;

    void setDelegate(BusListenerDelegate* delegate);

    // Connects, exports the object, takes the bus name and serves until the
    // bus connection closes, SIGTERM/SIGINT arrives, or the service has been
    // idle for idleExit. Both signals must be blocked in every thread before
    // (main() does it first). A stop releases the name, answers every call
    // still open with an error and lets running calls end; an idle exit
    // releases the name, serves what was already sent to it, then returns.
    // Answers the process's exit status: 0 after serving, 1 when there is no
    // bus or the name is already owned (said on stderr).
    int resume();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
