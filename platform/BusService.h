#pragma once
// The service side of the connection layer: owns a bus name on the session
// bus, exports one object at "/" with one interface whose methods each take
// one string and answer one string, and hands every call to a worker thread.
//
// A client is one sender (unique bus name). The delegate decides, when a
// sender comes with calls, whether it is accepted and which object its calls
// reach. Calls of one client run one after another in arrival order, each
// client on a thread of its own with a small stack, ended as soon as the
// client has nothing left to run. Calls that may wait on the network count
// against a bound far above real use; all others never wait for a thread.
// Every call is answered exactly once: by its handler, or with an error reply
// when the handler threw, answered nothing, or the service is stopping.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using BusReply = std::function<void(const std::string&)>;

// What the calls of one client reach.
class BusExportedObject {
public:
    virtual ~BusExportedObject() = default;
    // Runs method with request on the calling worker thread and answers
    // through reply before it returns.
    virtual void dispatch(const std::string& method, const std::string& request, const BusReply& reply) = 0;
    // Whether method may wait long (on the network); such calls share the
    // bounded set of workers, the others are never held behind them.
    virtual bool mayWait(const std::string& method) const = 0;
};

// One new client as the delegate sees it.
struct BusPeer {
    std::string uniqueName;
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
};

struct BusServiceLimits {
    std::size_t maxWaitingCalls = 4096;          // calls that may wait, running at once; more queue
    std::chrono::milliseconds clientLinger{250};  // a client's object outlives its last call this long
    std::chrono::milliseconds stopLimit{800};     // running calls get this long to end at a stop
};

class BusService {
public:
    BusService(std::string busName, std::string interfaceName, std::vector<std::string> methods,
               BusServiceLimits limits = {});
    ~BusService();
    BusService(const BusService&) = delete;
    BusService& operator=(const BusService&) = delete;

    void setDelegate(BusListenerDelegate* delegate);

    // Connects, exports the object, takes the bus name and serves until the
    // bus connection closes or SIGTERM/SIGINT arrives; then releases the name,
    // answers every call still open with an error and lets running calls end.
    // Answers the process's exit status: 0 after serving, 1 when there is no
    // bus or the name is already owned (said on stderr).
    int resume();

    // Figures for tests and benchmarks: clients whose state is held, and
    // worker threads alive.
    std::size_t clientCount() const;
    std::size_t workerCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
