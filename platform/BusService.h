#pragma once
// The service side of the connection layer: owns a bus name on the session
// bus, exports one object at "/" with one interface whose methods each take
// one string and answer one string, and hands every call to a worker thread.
//
// A client is one sender (unique bus name). The delegate decides, once per
// new client, whether it is accepted and which object its calls reach. Calls
// of one client run one after another in arrival order; calls of different
// clients run in parallel on a bounded set of workers. Every call is answered
// exactly once: by its handler, or with an error reply when the handler threw,
// answered nothing, or the service is shutting down.

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
};

struct BusServiceLimits {
    std::size_t maxWorkers = 256;                          // worker threads at once; more clients wait
    std::size_t maxQueuedPerClient = 1024;                 // calls waiting for one client; more are refused
    std::chrono::milliseconds workerLinger{2000};          // an idle worker waits this long for work, then ends
    std::chrono::milliseconds clientIdle{60000};           // an idle client's state is dropped after this
};

class BusService {
public:
    BusService(std::string busName, std::string interfaceName, std::vector<std::string> methods,
               BusServiceLimits limits = {});
    ~BusService();  // answers what is still queued and joins every worker
    BusService(const BusService&) = delete;
    BusService& operator=(const BusService&) = delete;

    void setDelegate(BusListenerDelegate* delegate);

    // Connects, exports the object, takes the bus name and serves until the
    // bus connection closes or SIGTERM/SIGINT arrives. Answers the process's
    // exit status: 0 after serving, 1 when there is no bus or the name is
    // already owned (said on stderr).
    int resume();

    // Figures for tests and benchmarks.
    std::size_t clientCount() const;
    std::size_t workerCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
