#include "BusService.h"

#include "BusNames.h"

#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace {

constexpr const char* kErrorFailed = "org.freedesktop.DBus.Error.Failed";
constexpr const char* kErrorAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";
constexpr const char* kErrorLimitsExceeded = "org.freedesktop.DBus.Error.LimitsExceeded";

// The connection whose event loop SIGTERM and SIGINT end; leaving the loop
// from a signal handler is what sdbus-c++ offers for that.
std::atomic<sdbus::IConnection*> gLoopToLeave{nullptr};

extern "C" void leaveLoopOnSignal(int)
{
    if (sdbus::IConnection* c = gLoopToLeave.load())
        c->leaveEventLoop();
}

// One pending method call. The reply goes out at most once, whoever sends it;
// sending can fail only when the bus has gone, and then nobody can be told.
class PendingReply {
public:
    explicit PendingReply(sdbus::Result<std::string>&& result) : result_(std::move(result)) {}

    bool answered() const { return answered_.load(); }
    void answer(const std::string& reply)
    {
        if (answered_.exchange(true))
            return;
        try {
            result_.returnResults(reply);
        } catch (const std::exception&) {
        }
    }
    void fail(const char* errorName, const std::string& message)
    {
        if (answered_.exchange(true))
            return;
        try {
            result_.returnError(sdbus::Error(errorName, message));
        } catch (const std::exception&) {
        }
    }

private:
    sdbus::Result<std::string> result_;
    std::atomic<bool> answered_{false};
};

struct Call {
    std::string method;
    std::string request;
    std::shared_ptr<PendingReply> reply;
};

struct Client {
    std::shared_ptr<BusExportedObject> object;
    bool accepted = false;
    std::deque<Call> calls;
    bool scheduled = false;  // in the run queue or held by a worker
    bool gone = false;       // the sender has left the bus
    std::chrono::steady_clock::time_point lastActive;
};

}  // namespace

struct BusService::Impl {
    std::string busName;
    std::string interfaceName;
    std::vector<std::string> methods;
    BusServiceLimits limits;
    BusListenerDelegate* delegate = nullptr;

    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IObject> object;

    mutable std::mutex mutex;
    std::condition_variable workAvailable;
    std::unordered_map<std::string, Client> clients;
    std::deque<std::string> runnable;  // senders with calls and no worker yet
    std::list<std::thread> threads;
    std::vector<std::thread::id> finished;
    std::size_t workers = 0;
    std::size_t idleWorkers = 0;
    bool stopping = false;
    std::chrono::steady_clock::time_point lastSweep;

    void onCall(const std::string& method, sdbus::Result<std::string>&& result, std::string request);
    void onClientLeft(const std::string& sender);
    void workerLoop();
    void runCall(BusExportedObject& object, Call& call);
    void sweepIdleClients(std::chrono::steady_clock::time_point now);
    void reapFinishedWorkers(std::unique_lock<std::mutex>& lock);
    void shutdown();
};

BusService::BusService(std::string busName, std::string interfaceName, std::vector<std::string> methods,
                       BusServiceLimits limits)
    : impl_(std::make_unique<Impl>())
{
    impl_->busName = std::move(busName);
    impl_->interfaceName = std::move(interfaceName);
    impl_->methods = std::move(methods);
    impl_->limits = limits;
    if (impl_->limits.maxWorkers == 0)
        impl_->limits.maxWorkers = 1;
}

BusService::~BusService() { impl_->shutdown(); }

void BusService::setDelegate(BusListenerDelegate* delegate) { impl_->delegate = delegate; }

std::size_t BusService::clientCount() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->clients.size();
}

std::size_t BusService::workerCount() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->workers;
}

int BusService::resume()
{
    Impl& s = *impl_;
    try {
        s.connection = sdbus::createSessionBusConnection();
    } catch (const sdbus::Error& e) {
        std::fprintf(stderr, "printer-helper-service: cannot connect to the session bus: %s\n", e.getMessage().c_str());
        return 1;
    }

    // The object is complete before the name is taken, so that a call which
    // made the bus start us finds every method.
    try {
        s.object = sdbus::createObject(*s.connection, kServiceObjectPath);
        for (const std::string& method : s.methods) {
            s.object->registerMethod(method)
                .onInterface(s.interfaceName)
                .withInputParamNames("request")
                .withOutputParamNames("reply")
                .implementedAs([&s, method](sdbus::Result<std::string>&& result, std::string request) {
                    s.onCall(method, std::move(result), std::move(request));
                });
        }
        s.object->finishRegistration();
        s.connection->addMatch(
            "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
            "member='NameOwnerChanged'",
            [&s](sdbus::Message& message) {
                std::string name, oldOwner, newOwner;
                message >> name >> oldOwner >> newOwner;
                if (newOwner.empty() && !name.empty() && name[0] == ':')
                    s.onClientLeft(name);
            },
            sdbus::floating_slot);
    } catch (const sdbus::Error& e) {
        std::fprintf(stderr, "printer-helper-service: cannot export the service object: %s\n", e.getMessage().c_str());
        s.shutdown();
        return 1;
    }

    try {
        s.connection->requestName(s.busName);
    } catch (const sdbus::Error& e) {
        std::fprintf(stderr, "printer-helper-service: the bus name %s is already owned or cannot be taken (%s)\n",
                     s.busName.c_str(), e.getMessage().c_str());
        s.shutdown();
        return 1;
    }

    gLoopToLeave.store(s.connection.get());
    struct sigaction action = {};
    action.sa_handler = leaveLoopOnSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction oldTerm = {}, oldInt = {};
    sigaction(SIGTERM, &action, &oldTerm);
    sigaction(SIGINT, &action, &oldInt);

    // The loop ends by a signal, or by an error once the bus has closed the
    // connection: either way the service's life is over.
    try {
        s.connection->enterEventLoop();
    } catch (const sdbus::Error&) {
    }

    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGINT, &oldInt, nullptr);
    gLoopToLeave.store(nullptr);
    s.shutdown();
    return 0;
}

void BusService::Impl::onCall(const std::string& method, sdbus::Result<std::string>&& result, std::string request)
{
    auto reply = std::make_shared<PendingReply>(std::move(result));
    const sdbus::Message* message = object->getCurrentlyProcessedMessage();
    std::string sender = message ? message->getSender() : std::string();
    auto now = std::chrono::steady_clock::now();

    std::unique_lock lock(mutex);
    if (stopping) {
        lock.unlock();
        reply->fail(kErrorFailed, "the service is shutting down");
        return;
    }
    sweepIdleClients(now);
    auto [it, isNew] = clients.try_emplace(sender);
    Client& client = it->second;
    client.lastActive = now;
    if (isNew) {
        BusPeer peer{sender, nullptr};
        client.accepted = delegate && delegate->shouldAcceptNewConnection(peer);
        client.object = std::move(peer.exportedObject);
    }
    if (!client.accepted || !client.object) {
        lock.unlock();
        reply->fail(kErrorAccessDenied, "the service does not serve this client");
        return;
    }
    if (client.calls.size() >= limits.maxQueuedPerClient) {
        lock.unlock();
        reply->fail(kErrorLimitsExceeded, "too many calls waiting for this client");
        return;
    }
    client.calls.push_back(Call{method, std::move(request), std::move(reply)});
    if (client.scheduled)
        return;  // the worker that holds this client will come to it

    client.scheduled = true;
    runnable.push_back(sender);
    if (runnable.size() > idleWorkers && workers < limits.maxWorkers) {
        reapFinishedWorkers(lock);
        ++workers;
        threads.emplace_back([this] { workerLoop(); });
    } else {
        workAvailable.notify_one();
    }
}

void BusService::Impl::onClientLeft(const std::string& sender)
{
    std::lock_guard lock(mutex);
    auto it = clients.find(sender);
    if (it == clients.end())
        return;
    if (it->second.scheduled)
        it->second.gone = true;  // its worker drops it once its calls are answered
    else
        clients.erase(it);
}

void BusService::Impl::workerLoop()
{
    std::unique_lock lock(mutex);
    for (;;) {
        if (stopping)
            break;  // what is still queued is answered by shutdown()
        if (runnable.empty()) {
            ++idleWorkers;
            bool woken = workAvailable.wait_for(lock, limits.workerLinger,
                                                [this] { return !runnable.empty() || stopping; });
            --idleWorkers;
            if (!woken || runnable.empty())
                break;
        }

        // One call at a time per client, and the client goes to the back of
        // the queue afterwards, so one busy client cannot starve the others.
        std::string sender = std::move(runnable.front());
        runnable.pop_front();
        Client& client = clients.at(sender);
        Call call = std::move(client.calls.front());
        client.calls.pop_front();
        std::shared_ptr<BusExportedObject> target = client.object;
        lock.unlock();

        runCall(*target, call);
        call = Call{};
        target.reset();

        lock.lock();
        Client& after = clients.at(sender);
        after.lastActive = std::chrono::steady_clock::now();
        if (!after.calls.empty()) {
            runnable.push_back(sender);
        } else {
            after.scheduled = false;
            if (after.gone)
                clients.erase(sender);
        }
    }
    --workers;
    finished.push_back(std::this_thread::get_id());
}

void BusService::Impl::runCall(BusExportedObject& target, Call& call)
{
    std::shared_ptr<PendingReply> pending = call.reply;
    try {
        target.dispatch(call.method, call.request, [pending](const std::string& text) { pending->answer(text); });
    } catch (const std::exception& e) {
        pending->fail(kErrorFailed, std::string("the operation failed: ") + e.what());
    } catch (...) {
        pending->fail(kErrorFailed, "the operation failed");
    }
    if (!pending->answered())
        pending->fail(kErrorFailed, "the operation gave no answer");
}

void BusService::Impl::sweepIdleClients(std::chrono::steady_clock::time_point now)
{
    if (now - lastSweep < std::chrono::seconds(1))
        return;
    lastSweep = now;
    for (auto it = clients.begin(); it != clients.end();) {
        const Client& c = it->second;
        if (!c.scheduled && c.calls.empty() && now - c.lastActive > limits.clientIdle)
            it = clients.erase(it);
        else
            ++it;
    }
}

// Joins the threads of workers that have ended; called with the lock held,
// which such a worker no longer needs.
void BusService::Impl::reapFinishedWorkers(std::unique_lock<std::mutex>&)
{
    for (std::thread::id id : finished) {
        for (auto it = threads.begin(); it != threads.end(); ++it) {
            if (it->get_id() == id) {
                it->join();
                threads.erase(it);
                break;
            }
        }
    }
    finished.clear();
}

void BusService::Impl::shutdown()
{
    // Calls already running end by themselves (every operation is bounded)
    // and send their own replies; queued calls are answered after them, so a
    // client still sees its replies in the order of its calls.
    std::list<std::thread> toJoin;
    {
        std::lock_guard lock(mutex);
        stopping = true;
        workAvailable.notify_all();
        toJoin.swap(threads);
        finished.clear();
    }
    for (std::thread& t : toJoin)
        t.join();

    std::vector<Call> unanswered;
    {
        std::lock_guard lock(mutex);
        for (auto& [sender, client] : clients)
            for (Call& call : client.calls)
                unanswered.push_back(std::move(call));
        clients.clear();
        runnable.clear();
    }
    for (Call& call : unanswered)
        call.reply->fail(kErrorFailed, "the service is shutting down");
    unanswered.clear();
    object.reset();
    connection.reset();
}
