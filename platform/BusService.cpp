#include "BusService.h"

#include "BusNames.h"
#include "ClientQueue.h"
#include "Protocol.h"
#include "ReplyOutbox.h"
#include "ThreadLauncher.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>

#include <poll.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

// Threads: the thread in resume() owns the connection, since an sd-bus
// connection is not thread-safe; every sd_bus_* call below is made there.
// Workers reach it only through the outbox and the wake-up descriptor.

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDaemonName = "org.freedesktop.DBus";
constexpr const char* kDaemonPath = "/org/freedesktop/DBus";
constexpr int kProcessBatch = 64;  // messages taken in before the replies go out again

// SIGTERM and SIGINT may land on any thread that has not blocked them; the
// handler only raises the flag and wakes the bus thread.
std::atomic<int> gWakeFd{-1};
volatile std::sig_atomic_t gStopRequested = 0;

extern "C" void onStopSignal(int)
{
    gStopRequested = 1;
    if (const int fd = gWakeFd.load(); fd >= 0)
        ReplyOutbox::wake(fd);
}

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct SlotUnref {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

using Outgoing = ReplyOutbox::Entry;

int msUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

}  // namespace

struct BusService::Impl {
    enum class Ending { Signal, BusGone, Idle, Drained };

    std::string busName;
    std::string interfaceName;
    std::vector<BusMethod> methods;
    BusServiceLimits limits;
    BusListenerDelegate* delegate = nullptr;
    const std::string signature{kMethodSignature};
    const std::string argumentNames = std::string(kRequestArgumentName) + '\0' + std::string(kReplyArgumentName);
    std::vector<sd_bus_vtable> vtable;

    BusPtr bus;
    SlotPtr object;
    ReplyOutbox outbox;
    std::unique_ptr<ClientQueue> queue;
    std::atomic<bool> stopping{false};

    // Bus thread only: the calls not yet answered, and the departure matches.
    struct Departure {
        Impl* service = nullptr;
        std::string sender;
        SlotPtr match, query;
    };
    std::unordered_map<std::uint64_t, sd_bus_message*> open;
    std::uint64_t lastToken = 0;
    std::unordered_map<std::string, Departure> departures;
    std::vector<Outgoing> sending;

    void buildVtable();
    static int onMethodCall(sd_bus_message* m, void* userdata, sd_bus_error* error);
    int onCall(sd_bus_message* m, sd_bus_error* error);
    void runCall(BusExportedObject& target, QueuedCall& call);
    void post(Outgoing outgoing) { outbox.post(std::move(outgoing)); }
    void sendOutbox();
    void waitForBus(int timeoutMs);
    void watchDeparture(const std::string& sender);
    Ending serve(bool draining);
    int stop(Ending why);
};

BusService::BusService(std::string busName, std::string interfaceName, std::vector<BusMethod> methods,
                       BusServiceLimits limits)
    : impl_(std::make_unique<Impl>())
{
    impl_->busName = std::move(busName);
    impl_->interfaceName = std::move(interfaceName);
    impl_->methods = std::move(methods);
    impl_->limits = limits;
}

BusService::~BusService() = default;

void BusService::setDelegate(BusListenerDelegate* delegate) { impl_->delegate = delegate; }

std::size_t BusService::clientCount() const { return impl_->queue ? impl_->queue->clientCount() : 0; }
std::size_t BusService::workerCount() const { return impl_->queue ? impl_->queue->workerCount() : 0; }

int BusService::resume()
{
    Impl& s = *impl_;
    sd_bus* raw = nullptr;
    int r = s.outbox.valid() ? sd_bus_open_user(&raw) : -errno;
    s.bus.reset(raw);
    if (r < 0) {
        std::fprintf(stderr, "printer-helper-service: cannot connect to the session bus: %s\n", std::strerror(-r));
        return 1;
    }

    ClientQueue::Hooks hooks;
    hooks.accept = [&s](const std::string&) -> std::shared_ptr<BusExportedObject> {
        BusPeer peer;
        if (!s.delegate || !s.delegate->shouldAcceptNewConnection(peer))
            return nullptr;
        return peer.exportedObject;
    };
    hooks.launch = [](std::function<void()> body) { return startSmallThread(std::move(body)); };
    hooks.run = [&s](BusExportedObject& target, QueuedCall& call) { s.runCall(target, call); };
    hooks.giveUp = [&s](QueuedCall& call, ClientQueue::GiveUp why) {
        using W = ClientQueue::GiveUp;
        switch (why) {
        case W::ClientLeft: return s.post({Outgoing::Kind::Drop, call.token, {}});
        case W::NoThread: return s.post({Outgoing::Kind::Error, call.token, "no thread is left to run the call"});
        case W::Stopping: return s.post({Outgoing::Kind::Error, call.token, "the service is stopping"});
        case W::Refused:
            return s.post({Outgoing::Kind::Error, call.token, "the service does not serve this client",
                           SD_BUS_ERROR_ACCESS_DENIED});
        }
    };
    hooks.forgotten = [&s](const std::string& sender) { s.post({Outgoing::Kind::Forget, 0, sender}); };
    hooks.settled = [&s] { ReplyOutbox::wake(s.outbox.fd()); };
    s.queue = std::make_unique<ClientQueue>(ClientQueue::Limits{s.limits.maxWaitingCalls, s.limits.clientLinger},
                                            std::move(hooks));

    // The object is complete before the name is taken, so that a call which
    // made the bus start us finds every method.
    s.buildVtable();
    sd_bus_slot* slot = nullptr;
    r = sd_bus_add_object_vtable(s.bus.get(), &slot, kServiceObjectPath, s.interfaceName.c_str(), s.vtable.data(), &s);
    s.object.reset(slot);
    if (r < 0) {
        std::fprintf(stderr, "printer-helper-service: cannot export the service object: %s\n", std::strerror(-r));
        return 1;
    }
    r = sd_bus_request_name(s.bus.get(), s.busName.c_str(), 0);
    if (r < 0) {
        std::fprintf(stderr, "printer-helper-service: the bus name %s is already owned or cannot be taken (%s)\n",
                     s.busName.c_str(), std::strerror(-r));
        return 1;
    }

    gStopRequested = 0;
    gWakeFd.store(s.outbox.fd());
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction oldTerm = {}, oldInt = {};
    sigaction(SIGTERM, &action, &oldTerm);
    sigaction(SIGINT, &action, &oldInt);

    Impl::Ending why = s.serve(false);
    if (why == Impl::Ending::Idle) {
        // The bus's own pattern for leaving when idle: give the name back, so
        // that a new call starts a new instance, then serve every call that
        // was sent to this one before the name went.
        sd_notify(0, "STOPPING=1");
        sd_bus_release_name(s.bus.get(), s.busName.c_str());
        why = s.serve(true);
    }
    const int status = s.stop(why);

    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGINT, &oldInt, nullptr);
    gWakeFd.store(-1);
    return status;
}

int BusService::Impl::onMethodCall(sd_bus_message* m, void* userdata, sd_bus_error* error)
{
    try {
        return static_cast<Impl*>(userdata)->onCall(m, error);
    } catch (...) {
        return sd_bus_error_set_const(error, SD_BUS_ERROR_FAILED, "the service cannot take the call now");
    }
}

void BusService::Impl::buildVtable()
{
    vtable.assign(methods.size() + 2, sd_bus_vtable{});
    vtable.front().type = _SD_BUS_VTABLE_START;
    vtable.front().x.start.element_size = sizeof(sd_bus_vtable);
    vtable.front().x.start.features = _SD_BUS_VTABLE_PARAM_NAMES;
    vtable.front().x.start.vtable_format_reference = &sd_bus_object_vtable_format;
    for (std::size_t i = 0; i < methods.size(); ++i) {
        sd_bus_vtable& row = vtable[i + 1];
        row.type = _SD_BUS_VTABLE_METHOD;
        row.flags = SD_BUS_VTABLE_UNPRIVILEGED;
        row.x.method.member = methods[i].name.c_str();
        row.x.method.signature = signature.c_str();
        row.x.method.result = signature.c_str();
        row.x.method.handler = onMethodCall;
        row.x.method.names = argumentNames.c_str();  // "request\0reply\0"
    }
    vtable.back().type = _SD_BUS_VTABLE_END;
}

// A call from the bus (bus thread): kept referenced under a token until its
// reply goes out, and handed to its client's queue.
int BusService::Impl::onCall(sd_bus_message* m, sd_bus_error* error)
{
    const char* member = sd_bus_message_get_member(m);
    std::size_t method = 0;
    while (method < methods.size() && methods[method].name != (member ? member : ""))
        ++method;
    const char* request = nullptr;
    if (method == methods.size())
        return sd_bus_error_set_const(error, "org.freedesktop.DBus.Error.UnknownMethod", "no such method");
    if (const int r = sd_bus_message_read(m, "s", &request); r < 0)
        return r;
    if (stopping)
        return sd_bus_error_set_const(error, SD_BUS_ERROR_FAILED, "the service is stopping");

    const char* sender = sd_bus_message_get_sender(m);
    const std::uint64_t token = ++lastToken;
    open.emplace(token, sd_bus_message_ref(m));
    try {
        const std::string from = sender ? sender : "";
        if (queue->arrive(from, QueuedCall{method, request, methods[method].mayWait, token}))
            watchDeparture(from);
    } catch (...) {
        if (auto it = open.find(token); it != open.end()) {
            sd_bus_message_unref(it->second);
            open.erase(it);
            return sd_bus_error_set_const(error, SD_BUS_ERROR_FAILED, "the service cannot take the call now");
        }
    }
    return 1;
}

// On the client's worker: whatever the handler does, exactly one answer is
// queued for the call.
void BusService::Impl::runCall(BusExportedObject& target, QueuedCall& call)
{
    bool answered = false;
    const std::uint64_t token = call.token;
    const BusReply reply = [this, token, &answered](const std::string& text) {
        if (!answered) {
            answered = true;
            post({Outgoing::Kind::Reply, token, text});
        }
    };
    std::string failure;
    try {
        target.dispatch(methods[call.method].name, call.request, reply);
    } catch (const std::exception& e) {
        failure = std::string("the operation failed: ") + e.what();
    } catch (...) {
        failure = "the operation failed";
    }
    if (!answered) {
        if (failure.empty())
            failure = stopping ? "the service is stopping" : "the operation gave no answer";
        post({Outgoing::Kind::Error, token, failure});
    }
}

// Bus thread: sends what the workers queued. A reply that cannot be sent (the
// bus has gone) is dropped: nobody could be told.
void BusService::Impl::sendOutbox()
{
    outbox.take(sending);
    for (Outgoing& out : sending) {
        if (out.kind == Outgoing::Kind::Forget) {
            departures.erase(out.text);
            continue;
        }
        auto it = open.find(out.token);
        if (it == open.end())
            continue;
        sd_bus_message* m = it->second;
        open.erase(it);
        if (out.kind == Outgoing::Kind::Reply && sd_bus_reply_method_return(m, "s", out.text.c_str()) == -EINVAL)
            sd_bus_reply_method_errorf(m, SD_BUS_ERROR_FAILED, "the reply is not valid UTF-8");
        else if (out.kind == Outgoing::Kind::Error)
            sd_bus_reply_method_errorf(m, out.errorName, "%s", out.text.c_str());
        sd_bus_message_unref(m);
    }
    sending.clear();
}

// A match on the one sender's NameOwnerChanged; once it is in place, the bus
// is asked whether the sender is still there, since it may have left before.
void BusService::Impl::watchDeparture(const std::string& sender)
{
    auto [it, fresh] = departures.try_emplace(sender);
    if (!fresh)
        return;
    Departure& d = it->second;
    d.service = this;
    d.sender = sender;
    const std::string rule = "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                             "member='NameOwnerChanged',arg0='" + sender + "'";
    auto left = [](sd_bus_message* m, void* userdata, sd_bus_error*) -> int {
        auto* dep = static_cast<Departure*>(userdata);
        const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) >= 0 && newOwner && !*newOwner)
            dep->service->queue->leave(dep->sender);
        return 0;
    };
    auto installed = [](sd_bus_message* m, void* userdata, sd_bus_error*) -> int {
        auto* dep = static_cast<Departure*>(userdata);
        if (sd_bus_message_is_method_error(m, nullptr))
            return 0;  // too many matches, or the bus is going: its calls simply all run
        auto present = [](sd_bus_message* reply, void* data, sd_bus_error*) -> int {
            int has = 1;
            if (!sd_bus_message_is_method_error(reply, nullptr) && sd_bus_message_read(reply, "b", &has) >= 0 && !has) {
                auto* leaving = static_cast<Departure*>(data);
                leaving->service->queue->leave(leaving->sender);
            }
            return 0;
        };
        sd_bus_slot* query = nullptr;
        if (sd_bus_call_method_async(sd_bus_message_get_bus(m), &query, kDaemonName, kDaemonPath, kDaemonName,
                                     "NameHasOwner", present, dep, "s", dep->sender.c_str()) >= 0)
            dep->query.reset(query);
        return 0;
    };
    sd_bus_slot* match = nullptr;
    if (sd_bus_add_match_async(bus.get(), &match, rule.c_str(), left, installed, &d) >= 0)
        d.match.reset(match);
}

// Serves until a stop signal, the loss of the bus, or idleness: for idleExit
// with nothing held, or (draining) as soon as nothing is held.
BusService::Impl::Ending BusService::Impl::serve(bool draining)
{
    bool wasIdle = false;
    Clock::time_point idleSince;
    for (;;) {
        bool busy = false;
        for (int i = 0; i < kProcessBatch; ++i) {
            const int r = sd_bus_process(bus.get(), nullptr);
            if (r < 0)
                return Ending::BusGone;
            if (r == 0)
                break;
            busy = true;
        }
        sendOutbox();
        if (gStopRequested)
            return Ending::Signal;
        if (busy)
            continue;

        int timeout = -1;
        const bool idle = open.empty() && queue->empty();
        if (idle && draining)
            return Ending::Drained;
        if (idle && !wasIdle)
            idleSince = Clock::now();
        wasIdle = idle;
        if (idle) {
            timeout = msUntil(idleSince + limits.idleExit);
            if (timeout == 0)
                return Ending::Idle;
        }
        waitForBus(timeout);
    }
}

// Bus thread: sleeps until the bus has something to do, a worker or a signal
// wakes it, the bus's own next time-out, or timeoutMs (-1: no limit).
void BusService::Impl::waitForBus(int timeoutMs)
{
    uint64_t busDeadline = UINT64_MAX;
    if (sd_bus_get_timeout(bus.get(), &busDeadline) >= 0 && busDeadline != UINT64_MAX) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const uint64_t nowUsec = static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
        const uint64_t left = busDeadline <= nowUsec ? 0 : (busDeadline - nowUsec + 999) / 1000;
        const int busMs = static_cast<int>(std::min<uint64_t>(left, 1 << 30));
        timeoutMs = timeoutMs < 0 ? busMs : std::min(timeoutMs, busMs);
    }
    // A bus that has gone is not polled: its loss has shown in the last
    // process, and only the workers are waited for.
    const int events = sd_bus_get_events(bus.get());
    pollfd fds[2] = {{events < 0 ? -1 : sd_bus_get_fd(bus.get()), static_cast<short>(events < 0 ? 0 : events), 0},
                     {outbox.fd(), POLLIN, 0}};
    ::poll(fds, 2, timeoutMs);
}

// Ends the service. A stop gives the name back first, so that a new call
// starts a new service instead of waiting on this one; then queued calls are
// answered with an error at once, running ones when they end or at stopLimit.
int BusService::Impl::stop(Ending why)
{
    if (why != Ending::Drained) {
        if (why != Ending::BusGone && why != Ending::Idle)
            sd_bus_release_name(bus.get(), busName.c_str());
        stopping = true;
        queue->stop();
        if (delegate)
            delegate->serviceStopping();
        // Calls that reached us meanwhile are answered here (the handler
        // refuses them now), and the workers' last replies go out.
        const auto deadline = Clock::now() + limits.stopLimit;
        for (;;) {
            while (sd_bus_process(bus.get(), nullptr) > 0) {
            }
            sendOutbox();
            if (queue->workerCount() == 0 || Clock::now() >= deadline)
                break;
            waitForBus(msUntil(deadline));
        }
        sendOutbox();
    }
    for (auto& [token, m] : open) {
        sd_bus_reply_method_errorf(m, SD_BUS_ERROR_FAILED, "the service is stopping");
        sd_bus_message_unref(m);
    }
    open.clear();
    sd_bus_flush(bus.get());
    if (queue->workerCount() > 0) {
        // A call that ignores its interrupt still holds the queue; the
        // process must end all the same, and nothing of it outlives us.
        std::fflush(nullptr);
        std::_Exit(0);
    }
    departures.clear();
    object.reset();
    bus.reset();
    queue.reset();
    return 0;
}
