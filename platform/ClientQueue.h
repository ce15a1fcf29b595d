#pragma once
// The per-client scheduling of the connection layer, with no bus in it.
//
// A client is one sender (one unique bus name). Its calls run one after
// another in arrival order on a worker thread of its own; different clients
// run in parallel, so a slow call never holds another client's reply. A
// worker stays `linger` after its client's last call, so that a busy client
// does not pay for a new thread on every call; then the client's state goes.
// Calls that may wait (on the network) count against a bound; a client whose
// next call would pass it waits, without a thread, for the longest waiting
// client ahead of it. What waits to start is bounded, per client and in
// all, in calls and in request bytes: a call that comes once a bound is
// reached is refused at once (OverLimit), so that no client can make the
// service grow without end. Every call that is not run is handed back
// through `giveUp`, so that the caller can answer it: none is ever stranded.

#include "Protocol.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class BusExportedObject;

struct QueuedCall {
    Operation operation = Operation::IsFilePathWritable;
    std::string request;
    bool mayWait = false;     // counts against the bound of waiting calls
    std::uint64_t token = 0;  // the bus layer's name for whom to answer
};

class ClientQueue {
public:
    enum class GiveUp {
        ClientLeft,  // nobody is left to read the reply
        NoThread,    // no worker thread could be made
        Stopping,    // the service is stopping
        Refused,     // the delegate serves no such client
        OverLimit,   // its client, or all clients, have too much queued
    };

    struct Limits {
        std::size_t maxWaitingCalls = 4096;  // calls that may wait, running at once
        std::chrono::milliseconds linger{250};
        // Calls queued and not yet started. A print dialog keeps a handful of
        // calls in flight, so 64 or 4 MiB per client never refuse a real one,
        // while one client can no longer hold more than a few MiB. In all,
        // 16,384 calls or 64 MiB: four times the running bound, and with the
        // bus message that each call keeps, about 128 MiB at worst. A single
        // call may be larger than a bound (the bus caps one message); it is
        // taken while what waits is still under it.
        std::size_t queuedCallsPerClient = 64;
        std::size_t queuedBytesPerClient = 4u << 20;
        std::size_t queuedCalls = 16384;
        std::size_t queuedBytes = 64u << 20;
    };

    // Called without the queue's lock held, but for settled; none may throw.
    struct Hooks {
        // The object that a new client's calls reach; none refuses the client.
        std::function<std::shared_ptr<BusExportedObject>(const std::string& sender)> accept;
        // Starts body on a new thread; false when none can be made.
        std::function<bool(std::function<void()>)> launch;
        // Runs one call on its client's worker and answers it.
        std::function<void(BusExportedObject&, QueuedCall&)> run;
        // A call that will not run.
        std::function<void(QueuedCall&, GiveUp)> giveUp;
        // The state of a client whose departure was watched has gone.
        std::function<void(const std::string& sender)> forgotten;
        // No client state or no worker is left (the owner may be waiting for
        // that). Called with the lock held, as a worker's last act: it may
        // only wake someone, never call into the queue.
        std::function<void()> settled;
    };

    ClientQueue(Limits limits, Hooks hooks);
    // Only once no worker is left: stop() and wait for workerCount() == 0.
    ~ClientQueue();
    ClientQueue(const ClientQueue&) = delete;
    ClientQueue& operator=(const ClientQueue&) = delete;

    // A call from sender. Answers true when the call now waits behind another
    // of its client and the client's departure is not yet watched: only then
    // is it worth hearing that the client leaves.
    bool arrive(const std::string& sender, QueuedCall call);

    // The sender has left the bus: its calls not yet started are given up
    // (ClientLeft) and its state goes once its running call, if any, ends.
    void leave(const std::string& sender);

    // From now on no call starts: queued calls are given up (Stopping), a
    // client's after its running call so that its replies keep their order.
    void stop();

    // No client state is held and no worker runs.
    bool empty() const;
    std::size_t clientCount() const;
    std::size_t workerCount() const;

private:
    enum class State {
        Running,         // a worker runs its calls
        Lingering,       // its worker waits for its next call
        WaitingForSlot,  // no worker: its next call waits for the bound
        Leaving,         // it has left; its state goes with its running call
    };
    struct Client {
        State state = State::Running;
        std::shared_ptr<BusExportedObject> object;
        std::deque<QueuedCall> calls;
        std::size_t queuedBytes = 0;
        bool departureWatched = false;
        // Its lingering worker waits here. Shared, so that a new call can
        // wake the worker after the lock is let go (the woken worker then
        // need not wait for the lock) even if the client's state goes.
        std::shared_ptr<std::condition_variable> wake = std::make_shared<std::condition_variable>();
    };
    // Work decided under the lock and done after it: threads to start, calls
    // to give back, clients forgotten.
    struct Launch {
        std::string sender;
        bool holdsSlot = false;  // its first call's place under the bound is counted
    };
    struct Afterwards {
        std::vector<Launch> launches;
        std::vector<std::pair<QueuedCall, GiveUp>> givenUp;
        std::vector<std::string> forgotten;
        bool settled = false;
    };

    bool overLimit(const Client* client) const;
    void enqueue(Client& client, QueuedCall call);
    QueuedCall dequeue(Client& client);
    void giveUpQueued(Client& client, GiveUp why, Afterwards& after);
    void work(const std::string& sender, bool holdsSlot);
    void grantSlots(Afterwards& after);
    void forget(const std::string& sender, Afterwards& after);
    void finish(Afterwards& after);
    void launchWorker(const std::string& sender, bool holdsSlot, Afterwards& after);

    const Limits limits_;
    const Hooks hooks_;
    mutable std::mutex mutex_;
    // Each client by pointer: a worker keeps its own across unlocks, while
    // the bus thread adds clients and the map rehashes.
    std::unordered_map<std::string, std::unique_ptr<Client>> clients_;
    std::deque<std::string> waitingForSlot_;  // senders, longest waiting first
    std::size_t waitingCallsRunning_ = 0;
    std::size_t workers_ = 0;
    std::size_t queuedCalls_ = 0, queuedBytes_ = 0;
    bool stopping_ = false;
};
