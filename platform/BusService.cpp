#include "BusService.h"

#include "BusNames.h"

#include <sdbus-c++/sdbus-c++.h>

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <deque>
#include <mutex>
#include <unordered_map>

// Lock order: sdbus-c++ runs every bus callback with its own connection lock
// held, and sending a reply takes that lock. So code that holds `mutex` below
// never touches the bus; the bus thread may take `mutex` inside a callback.

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kErrorFailed = "org.freedesktop.DBus.Error.Failed";
constexpr const char* kErrorAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";

// The calls' code keeps its buffers on the heap; 256 KiB leaves ample room
// for libc (syslog, getaddrinfo). Sanitizers make frames several times larger.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kWorkerStack = 2u << 20;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr std::size_t kWorkerStack = 2u << 20;
#else
constexpr std::size_t kWorkerStack = 256u << 10;
#endif
#else
constexpr std::size_t kWorkerStack = 256u << 10;
#endif

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
    bool mayWait = false;
};

struct Client {
    std::shared_ptr<BusExportedObject> object;
    bool accepted = false;
    std::deque<Call> calls;                // not yet started
    std::weak_ptr<PendingReply> running;   // the call its worker runs now (its worker owns it)
    bool hasWorker = false;
    bool waitsForSlot = false;     // its next call may wait, and every slot is taken
    bool departureWatched = false;  // a match on its name is set or being set
    sdbus::Slot departure;          // kept while the client's state is

    Clock::time_point idleSince;
};

// Runs body on a detached thread with a small stack and the stop signals
// blocked (they belong to the bus thread). The service counts these threads
// and waits for them when it stops. False when no thread can be made.
bool startWorkerThread(std::function<void()> body)
{
    auto* owned = new std::function<void()>(std::move(body));
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kWorkerStack);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    pthread_t thread;
    const int rc = pthread_create(
        &thread, &attr,
        [](void* arg) -> void* {
            std::unique_ptr<std::function<void()>> run(static_cast<std::function<void()>*>(arg));
            (*run)();
            return nullptr;
        },
        owned);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0)
        delete owned;
    return rc == 0;
}

}  // namespace

struct BusService::Impl {
    std::string busName;
    std::string interfaceName;
    std::vector<std::string> methods;
    BusServiceLimits limits;
    BusListenerDelegate* delegate = nullptr;

    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IObject> object;
    std::unique_ptr<sdbus::IProxy> busDaemon;
    bool ownsName = false;
    bool stopped = false;

    mutable std::mutex mutex;
    std::condition_variable workersGone;
    std::unordered_map<std::string, Client> clients;
    std::deque<std::string> waitingForSlot;                      // senders, in arrival order
    std::deque<std::pair<Clock::time_point, std::string>> idle;  // senders whose calls ended
    std::vector<sdbus::Slot> retired;  // matches dropped inside a bus callback
    std::size_t workers = 0;
    std::size_t waitingCallsRunning = 0;
    bool stopping = false;

    void onCall(const std::string& method, sdbus::Result<std::string>&& result, std::string request);
    void watchDeparture(const std::string& sender);
    void onClientLeft(const std::string& sender);
    bool schedule(const std::string& sender, Client& client);
    void startWaitingClients(std::vector<Call>& unstarted);
    void work(const std::string& sender);
    void runCall(BusExportedObject& target, Call& call);
    void forgetIdleClients(Clock::time_point now);
    int stop();
};

BusService::BusService(std::string busName, std::string interfaceName, std::vector<std::string> methods,
                       BusServiceLimits limits)
    : impl_(std::make_unique<Impl>())
{
    impl_->busName = std::move(busName);
    impl_->interfaceName = std::move(interfaceName);
    impl_->methods = std::move(methods);
    impl_->limits = limits;
    if (impl_->limits.maxWaitingCalls == 0)
        impl_->limits.maxWaitingCalls = 1;
}

BusService::~BusService() { impl_->stop(); }

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
        s.busDaemon = sdbus::createProxy(*s.connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    } catch (const sdbus::Error& e) {
        std::fprintf(stderr, "printer-helper-service: cannot export the service object: %s\n", e.getMessage().c_str());
        s.stop();
        return 1;
    }

    try {
        s.connection->requestName(s.busName);
        s.ownsName = true;
    } catch (const sdbus::Error& e) {
        std::fprintf(stderr, "printer-helper-service: the bus name %s is already owned or cannot be taken (%s)\n",
                     s.busName.c_str(), e.getMessage().c_str());
        s.stop();
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
    return s.stop();
}

void BusService::Impl::onCall(const std::string& method, sdbus::Result<std::string>&& result, std::string request)
{
    auto reply = std::make_shared<PendingReply>(std::move(result));
    const sdbus::Message* message = object->getCurrentlyProcessedMessage();
    std::string sender = message ? message->getSender() : std::string();
    std::vector<sdbus::Slot> toDrop;

    std::unique_lock lock(mutex);
    toDrop.swap(retired);
    if (stopping) {
        lock.unlock();
        reply->fail(kErrorFailed, "the service is stopping");
        return;
    }
    forgetIdleClients(Clock::now());
    auto [it, isNew] = clients.try_emplace(sender);
    Client& client = it->second;
    if (isNew) {
        BusPeer peer{sender, nullptr};
        client.accepted = delegate && delegate->shouldAcceptNewConnection(peer);
        client.object = std::move(peer.exportedObject);
    }
    if (!client.accepted || !client.object) {
        client.idleSince = Clock::now();
        idle.emplace_back(client.idleSince, sender);
        lock.unlock();
        reply->fail(kErrorAccessDenied, "the service does not serve this client");
        return;
    }
    const bool mayWait = client.object->mayWait(method);
    client.calls.push_back(Call{method, std::move(request), std::move(reply), mayWait});
    if (client.hasWorker || client.waitsForSlot) {
        // The call waits behind another: only now is it worth hearing that the
        // client leaves.
        const bool watch = !client.departureWatched;
        client.departureWatched = true;
        lock.unlock();
        if (watch)
            watchDeparture(sender);
        return;
    }
    if (!schedule(sender, client)) {
        Call call = std::move(client.calls.front());
        client.calls.pop_front();
        lock.unlock();
        call.reply->fail(kErrorFailed, "no thread is left to run the call");
    }
}

// Adds a match on the one sender's NameOwnerChanged (bus thread, no lock
// held), then asks whether the sender is still there, since it may have left
// before the match was in place; the answer comes back through the loop.
void BusService::Impl::watchDeparture(const std::string& sender)
{
    sdbus::Slot slot;
    try {
        slot = connection->addMatch("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                                    "member='NameOwnerChanged',arg0='" + sender + "'",
                                    [this, sender](sdbus::Message&) { onClientLeft(sender); });
        busDaemon->callMethodAsync("NameHasOwner")
            .onInterface("org.freedesktop.DBus")
            .withArguments(sender)
            .uponReplyInvoke([this, sender](const sdbus::Error* error, bool present) {
                if (!error && !present)
                    onClientLeft(sender);
            });
    } catch (const sdbus::Error&) {
        // Too many matches, or the bus is going: its calls simply all run.
    }
    std::lock_guard lock(mutex);
    auto it = clients.find(sender);
    if (it != clients.end() && it->second.departureWatched && !it->second.departure)
        it->second.departure = std::move(slot);
    else if (slot)
        retired.push_back(std::move(slot));
}

// A unique name is released only when its connection closes: the calls that
// have not started yet are dropped, nobody would read their replies.
void BusService::Impl::onClientLeft(const std::string& sender)
{
    std::deque<Call> dropped;
    std::lock_guard lock(mutex);
    auto it = clients.find(sender);
    if (it == clients.end())
        return;
    Client& client = it->second;
    dropped.swap(client.calls);
    if (client.departure)
        retired.push_back(std::move(client.departure));
    client.departureWatched = false;
    if (client.waitsForSlot) {
        client.waitsForSlot = false;
        waitingForSlot.erase(std::find(waitingForSlot.begin(), waitingForSlot.end(), sender));
    }
    if (!client.hasWorker)
        clients.erase(it);
}

// Gives the client's next call a worker, or a place in the line for a slot
// when the call may wait and every slot is taken. Lock held. False when no
// thread could be made.
bool BusService::Impl::schedule(const std::string& sender, Client& client)
{
    const bool mayWait = client.calls.front().mayWait;
    if (mayWait && waitingCallsRunning >= limits.maxWaitingCalls) {
        client.waitsForSlot = true;
        waitingForSlot.push_back(sender);
        return true;
    }
    if (!startWorkerThread([this, sender] { work(sender); }))
        return false;
    if (mayWait)
        ++waitingCallsRunning;
    client.hasWorker = true;
    ++workers;
    return true;
}

// A client's worker: runs its calls in arrival order until none is left, or
// the next one must wait for a slot.
void BusService::Impl::work(const std::string& sender)
{
    std::vector<Call> unstarted, dropped;
    std::unique_lock lock(mutex);
    for (;;) {
        Client& client = clients.at(sender);
        Call call = std::move(client.calls.front());
        client.calls.pop_front();
        client.running = call.reply;
        const bool mayWait = call.mayWait;
        std::shared_ptr<BusExportedObject> target = client.object;
        lock.unlock();

        runCall(*target, call);
        call = Call{};
        target.reset();

        lock.lock();
        Client& after = clients.at(sender);
        after.running.reset();
        if (mayWait) {
            --waitingCallsRunning;
            startWaitingClients(unstarted);
        }
        if (stopping) {
            // Answered after this client's running call, so its replies
            // still come in the order of its calls.
            for (Call& queued : after.calls)
                dropped.push_back(std::move(queued));
            after.calls.clear();
        }
        if (after.calls.empty()) {
            after.hasWorker = false;
            after.idleSince = Clock::now();
            idle.emplace_back(after.idleSince, sender);
            break;
        }
        if (after.calls.front().mayWait) {
            if (waitingCallsRunning >= limits.maxWaitingCalls) {
                after.hasWorker = false;
                after.waitsForSlot = true;
                waitingForSlot.push_back(sender);
                break;
            }
            ++waitingCallsRunning;
        }
    }
    lock.unlock();
    for (Call& call : unstarted)
        call.reply->fail(kErrorFailed, "no thread is left to run the call");
    for (Call& call : dropped)
        call.reply->fail(kErrorFailed, "the service is stopping");
    unstarted.clear();
    dropped.clear();

    // Last: once the count is down, a stop may take the connection away.
    lock.lock();
    --workers;
    if (workers == 0)
        workersGone.notify_all();
}

// Hands free slots to the clients that have waited longest. Lock held; a call
// that gets no thread is moved to unstarted, to be answered without the lock.
void BusService::Impl::startWaitingClients(std::vector<Call>& unstarted)
{
    while (!stopping && !waitingForSlot.empty() && waitingCallsRunning < limits.maxWaitingCalls) {
        const std::string next = std::move(waitingForSlot.front());
        waitingForSlot.pop_front();
        Client& waiting = clients.at(next);
        waiting.waitsForSlot = false;
        if (!schedule(next, waiting)) {
            // No thread can be made: every call of this client is answered
            // with an error rather than left with nobody to run it.
            for (Call& call : waiting.calls)
                unstarted.push_back(std::move(call));
            waiting.calls.clear();
            waiting.idleSince = Clock::now();
            idle.emplace_back(waiting.idleSince, next);
        }
    }
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
    if (!pending->answered()) {
        std::unique_lock lock(mutex);
        const bool wasStopping = stopping;
        lock.unlock();
        pending->fail(kErrorFailed, wasStopping ? "the service is stopping" : "the operation gave no answer");
    }
}

// Drops the state of clients whose last call ended more than clientLinger ago.
void BusService::Impl::forgetIdleClients(Clock::time_point now)
{
    while (!idle.empty() && now - idle.front().first > limits.clientLinger) {
        auto it = clients.find(idle.front().second);
        // A client that has called since is idle under a later entry, or busy.
        if (it != clients.end() && it->second.idleSince == idle.front().first && !it->second.hasWorker &&
            !it->second.waitsForSlot && it->second.calls.empty()) {
            if (it->second.departure)
                retired.push_back(std::move(it->second.departure));
            clients.erase(it);
        }
        idle.pop_front();
    }
}

// Releases the name first, so that a new call starts a new service instead of
// waiting on this one; then every call still open is answered with an error,
// queued calls at once, running ones when they end or at stopLimit.
int BusService::Impl::stop()
{
    if (stopped)
        return 0;
    stopped = true;
    if (ownsName) {
        try {
            connection->releaseName(busName);
        } catch (const sdbus::Error&) {
            // The bus has gone, and the name with it.
        }
    }

    std::vector<Call> queued;
    {
        std::lock_guard lock(mutex);
        stopping = true;
        for (auto& [sender, client] : clients) {
            if (client.hasWorker)
                continue;  // its worker answers them after its running call
            for (Call& call : client.calls)
                queued.push_back(std::move(call));
            client.calls.clear();
            client.waitsForSlot = false;
        }
        waitingForSlot.clear();
    }
    if (delegate)
        delegate->serviceStopping();
    for (Call& call : queued)
        call.reply->fail(kErrorFailed, "the service is stopping");
    queued.clear();

    std::vector<std::shared_ptr<PendingReply>> open;
    std::vector<sdbus::Slot> matches;
    bool workersLeft = false;
    {
        std::unique_lock lock(mutex);
        workersGone.wait_for(lock, limits.stopLimit, [this] { return workers == 0; });
        workersLeft = workers > 0;
        for (auto& [sender, client] : clients) {
            if (auto reply = client.running.lock())
                open.push_back(std::move(reply));
            for (Call& call : client.calls)
                open.push_back(call.reply);
            if (client.departure)
                matches.push_back(std::move(client.departure));
        }
        for (sdbus::Slot& slot : retired)
            matches.push_back(std::move(slot));
        retired.clear();
    }
    for (auto& reply : open)
        reply->fail(kErrorFailed, "the service is stopping");
    if (workersLeft) {
        // A call that ignores its interrupt still holds this object; the
        // process must end all the same, and nothing of it outlives us.
        std::fflush(nullptr);
        std::_Exit(0);
    }
    matches.clear();
    {
        std::lock_guard lock(mutex);
        clients.clear();
        idle.clear();
    }
    busDaemon.reset();
    object.reset();
    connection.reset();
    return 0;
}
