#include "ClientQueue.h"

#include <algorithm>
#include <utility>

// Lock rule: mutex_ guards every member below the hooks; no hook is called
// with it held, so a hook may call back into the queue. Work that a decision
// under the lock makes necessary (starting threads, handing calls back) is
// collected in an Afterwards and done by finish() once the lock is let go.

ClientQueue::ClientQueue(Limits limits, Hooks hooks) : limits_(limits), hooks_(std::move(hooks)) {}

ClientQueue::~ClientQueue() = default;

bool ClientQueue::arrive(const std::string& sender, QueuedCall call)
{
    Afterwards after;
    bool watch = false;
    std::shared_ptr<std::condition_variable> wake;
    std::unique_lock lock(mutex_);
    auto it = clients_.find(sender);
    Client* client = it == clients_.end() ? nullptr : it->second.get();
    std::shared_ptr<BusExportedObject> object;
    if (!stopping_ && !client && !overLimit(nullptr)) {
        // The delegate's decision may take a while; only this thread creates
        // clients, so nobody else adds this sender meanwhile.
        lock.unlock();
        object = hooks_.accept ? hooks_.accept(sender) : nullptr;
        lock.lock();
    }
    if (stopping_) {
        after.givenUp.emplace_back(std::move(call), GiveUp::Stopping);
    } else if (overLimit(client)) {
        after.givenUp.emplace_back(std::move(call), GiveUp::OverLimit);
    } else if (!client && !object) {
        after.givenUp.emplace_back(std::move(call), GiveUp::Refused);
    } else if (!client) {
        client = clients_.emplace(sender, std::make_unique<Client>()).first->second.get();
        client->object = std::move(object);
        const bool mayWait = call.mayWait;
        enqueue(*client, std::move(call));
        if (mayWait && waitingCallsRunning_ >= limits_.maxWaitingCalls) {
            client->state = State::WaitingForSlot;
            waitingForSlot_.push_back(sender);
        } else {
            if (mayWait)
                ++waitingCallsRunning_;
            launchWorker(sender, mayWait, after);
        }
    } else {
        switch (client->state) {
        case State::Lingering:
            enqueue(*client, std::move(call));
            client->state = State::Running;
            wake = client->wake;
            break;
        case State::Running:
        case State::WaitingForSlot:
            enqueue(*client, std::move(call));
            watch = !client->departureWatched;
            client->departureWatched = true;
            break;
        case State::Leaving:
            // A unique name is never given again, so this cannot come; if it
            // does, nobody of that name is left to read the reply.
            after.givenUp.emplace_back(std::move(call), GiveUp::ClientLeft);
            break;
        }
    }
    lock.unlock();
    if (wake)
        wake->notify_one();
    finish(after);
    return watch;
}

// Whether a new call of client (none: a new client) must be refused: what
// waits has reached a bound. Lock held.
bool ClientQueue::overLimit(const Client* client) const
{
    if (queuedCalls_ >= limits_.queuedCalls || queuedBytes_ >= limits_.queuedBytes)
        return true;
    return client && (client->calls.size() >= limits_.queuedCallsPerClient ||
                      client->queuedBytes >= limits_.queuedBytesPerClient);
}

// Lock held, for the three below.
void ClientQueue::enqueue(Client& client, QueuedCall call)
{
    ++queuedCalls_;
    queuedBytes_ += call.request.size();
    client.queuedBytes += call.request.size();
    client.calls.push_back(std::move(call));
}

QueuedCall ClientQueue::dequeue(Client& client)
{
    QueuedCall call = std::move(client.calls.front());
    client.calls.pop_front();
    --queuedCalls_;
    queuedBytes_ -= call.request.size();
    client.queuedBytes -= call.request.size();
    return call;
}

void ClientQueue::giveUpQueued(Client& client, GiveUp why, Afterwards& after)
{
    while (!client.calls.empty())
        after.givenUp.emplace_back(dequeue(client), why);
}

void ClientQueue::leave(const std::string& sender)
{
    Afterwards after;
    std::unique_lock lock(mutex_);
    auto it = clients_.find(sender);
    if (it == clients_.end())
        return;
    Client& client = *it->second;
    giveUpQueued(client, GiveUp::ClientLeft, after);
    switch (client.state) {
    case State::WaitingForSlot:
        waitingForSlot_.erase(std::find(waitingForSlot_.begin(), waitingForSlot_.end(), sender));
        forget(sender, after);
        break;
    case State::Lingering:
        client.state = State::Leaving;
        client.wake->notify_one();
        break;
    case State::Running:
        client.state = State::Leaving;
        break;
    case State::Leaving:
        break;
    }
    lock.unlock();
    finish(after);
}

void ClientQueue::stop()
{
    Afterwards after;
    std::unique_lock lock(mutex_);
    stopping_ = true;
    std::vector<std::string> gone;
    for (auto& [sender, client] : clients_) {
        switch (client->state) {
        case State::WaitingForSlot:
            giveUpQueued(*client, GiveUp::Stopping, after);
            gone.push_back(sender);
            break;
        case State::Lingering:
            client->wake->notify_one();
            break;
        case State::Running:
        case State::Leaving:
            break;  // its worker hands its calls back after the running one
        }
    }
    for (const std::string& sender : gone)
        forget(sender, after);
    waitingForSlot_.clear();
    lock.unlock();
    finish(after);
}

bool ClientQueue::empty() const
{
    std::lock_guard lock(mutex_);
    return clients_.empty() && workers_ == 0;
}

std::size_t ClientQueue::clientCount() const
{
    std::lock_guard lock(mutex_);
    return clients_.size();
}

std::size_t ClientQueue::workerCount() const
{
    std::lock_guard lock(mutex_);
    return workers_;
}

// A client's worker: runs its calls in arrival order, lingers for the next,
// and ends when the linger passes, the client leaves, the service stops, or
// the next call must wait for the bound. holdsSlot: the first call's place
// under the bound is already counted for it.
void ClientQueue::work(const std::string& sender, bool holdsSlot)
{
    Afterwards after;
    std::unique_lock lock(mutex_);
    // Only this worker removes its client, so the pointer holds across the
    // unlocks below, whatever the map does meanwhile.
    auto found = clients_.find(sender);
    Client* client = found == clients_.end() ? nullptr : found->second.get();
    bool keepClient = false;
    while (client) {
        if (stopping_)
            giveUpQueued(*client, GiveUp::Stopping, after);
        if (client->calls.empty()) {
            if (holdsSlot) {
                holdsSlot = false;
                --waitingCallsRunning_;
                grantSlots(after);
            }
            if (client->state == State::Leaving || stopping_)
                break;
            if (!after.launches.empty() || !after.givenUp.empty()) {
                lock.unlock();
                finish(after);
                after = Afterwards{};
                lock.lock();
                continue;
            }
            client->state = State::Lingering;
            const bool woken = client->wake->wait_for(lock, limits_.linger, [&] {
                return !client->calls.empty() || stopping_ || client->state == State::Leaving;
            });
            if (!woken)
                break;
            if (client->state == State::Lingering)
                client->state = State::Running;
            continue;
        }
        if (client->calls.front().mayWait && !holdsSlot) {
            if (waitingCallsRunning_ >= limits_.maxWaitingCalls) {
                client->state = State::WaitingForSlot;
                waitingForSlot_.push_back(sender);
                keepClient = true;
                break;
            }
            ++waitingCallsRunning_;
            holdsSlot = true;
        }
        QueuedCall call = dequeue(*client);
        client->state = State::Running;
        std::shared_ptr<BusExportedObject> object = client->object;
        lock.unlock();
        finish(after);
        after = Afterwards{};
        hooks_.run(*object, call);
        object.reset();
        lock.lock();
        if (holdsSlot) {
            holdsSlot = false;
            --waitingCallsRunning_;
            grantSlots(after);
        }
    }
    if (holdsSlot) {
        --waitingCallsRunning_;
        grantSlots(after);
    }
    if (client && !keepClient)
        forget(sender, after);
    const bool settled = after.settled;
    after.settled = false;
    lock.unlock();
    finish(after);

    // Last, and under the lock: once the count is down the owner may destroy
    // the queue, so nothing of it is touched after the lock is let go.
    lock.lock();
    --workers_;
    if ((settled || workers_ == 0) && hooks_.settled)
        hooks_.settled();
}

// Hands free places under the bound to the clients that have waited longest.
// Lock held.
void ClientQueue::grantSlots(Afterwards& after)
{
    while (!stopping_ && !waitingForSlot_.empty() && waitingCallsRunning_ < limits_.maxWaitingCalls) {
        const std::string next = std::move(waitingForSlot_.front());
        waitingForSlot_.pop_front();
        auto it = clients_.find(next);
        if (it == clients_.end() || it->second->state != State::WaitingForSlot)
            continue;
        ++waitingCallsRunning_;
        launchWorker(next, true, after);
    }
}

// Counts a worker for sender, to be started once the lock is let go. Lock held.
void ClientQueue::launchWorker(const std::string& sender, bool holdsSlot, Afterwards& after)
{
    clients_.at(sender)->state = State::Running;
    ++workers_;
    after.launches.push_back(Launch{sender, holdsSlot});
}

// Lock held.
void ClientQueue::forget(const std::string& sender, Afterwards& after)
{
    auto it = clients_.find(sender);
    if (it->second->departureWatched)
        after.forgotten.push_back(sender);
    clients_.erase(it);
    if (clients_.empty())
        after.settled = true;
}

// Does what a decision under the lock asked for. A worker that cannot be
// started gives every call of its client back (NoThread), and its place
// under the bound passes on, which may start, or fail to start, the next.
void ClientQueue::finish(Afterwards& after)
{
    while (!after.launches.empty()) {
        std::vector<Launch> launches;
        launches.swap(after.launches);
        for (const Launch& launch : launches) {
            bool started = false;
            try {
                started = hooks_.launch([this, launch] { work(launch.sender, launch.holdsSlot); });
            } catch (...) {
                // No memory for the thread's closure: as good as no thread.
            }
            if (started)
                continue;
            std::lock_guard lock(mutex_);
            --workers_;
            if (workers_ == 0)
                after.settled = true;
            if (launch.holdsSlot) {
                --waitingCallsRunning_;
                grantSlots(after);
            }
            auto it = clients_.find(launch.sender);
            if (it == clients_.end())
                continue;
            giveUpQueued(*it->second, GiveUp::NoThread, after);
            forget(launch.sender, after);
        }
    }
    for (auto& [call, why] : after.givenUp)
        hooks_.giveUp(call, why);
    after.givenUp.clear();
    for (const std::string& sender : after.forgotten)
        hooks_.forgotten(sender);
    after.forgotten.clear();
    if (after.settled && hooks_.settled)
        hooks_.settled();
    after.settled = false;
}
