#include "BusService.h"

#include "BusNames.h"
#include "ReplyOutbox.h"
#include "ThreadLauncher.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-event.h>

#include <sys/epoll.h>
#include <sys/signalfd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <unordered_map>
#include <vector>

// Threads: the thread in resume() owns the connection and its event loop,
// since an sd-bus connection is not thread-safe; every sd_bus_* and sd_event_*
// call below is made there. Workers reach it only through the outbox.

namespace {

struct EventUnref {
    void operator()(sd_event* event) const { sd_event_unref(event); }
};
struct SourceUnref {
    void operator()(sd_event_source* source) const { sd_event_source_unref(source); }
};
struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct SlotUnref {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
struct TrackUnref {
    void operator()(sd_bus_track* track) const { sd_bus_track_unref(track); }
};
using EventPtr = std::unique_ptr<sd_event, EventUnref>;
using SourcePtr = std::unique_ptr<sd_event_source, SourceUnref>;
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;
using TrackPtr = std::unique_ptr<sd_bus_track, TrackUnref>;

using Outgoing = ReplyOutbox::Entry;

constexpr const char* kStopping = "the service is stopping";

std::uint64_t usec(std::chrono::milliseconds ms)
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(ms).count());
}

// The vtable's argument names are literals; they must be the contract's.
static_assert(kMethodSignature == "s" && kRequestArgumentName == "request" && kReplyArgumentName == "reply");

}  // namespace

struct BusService::Impl {
    enum class Phase { Serving, Draining, Stopping };

    std::string busName;
    std::string interfaceName;
    BusServiceLimits limits;
    BusListenerDelegate* delegate = nullptr;

    // Declared in the order they are built; they go in reverse.
    EventPtr event;
    BusPtr bus;
    SlotPtr object;
    SourcePtr replies, idleTimer, idleCheck, stopTimer;
    ReplyOutbox outbox;
    std::unique_ptr<ClientQueue> queue;
    std::atomic<bool> stopping{false};
    Phase phase = Phase::Serving;

    // Bus thread only: the calls not yet answered, and the clients whose
    // departure is tracked (one track each, so that its handler names them).
    struct Departure {
        Impl* service = nullptr;
        std::string sender;
        TrackPtr track;
    };
    std::unordered_map<std::uint64_t, sd_bus_message*> open;
    std::uint64_t lastToken = 0;
    std::unordered_map<std::string, std::unique_ptr<Departure>> departures;
    std::vector<Outgoing> sending;

    static const sd_bus_vtable kVtable[];
    template <Operation operation>
    static int onMethod(sd_bus_message* m, void* userdata, sd_bus_error* error);
    int onCall(Operation operation, sd_bus_message* m, sd_bus_error* error);
    void runCall(BusExportedObject& target, QueuedCall& call);
    void post(Outgoing outgoing) { outbox.post(std::move(outgoing)); }
    void sendOutbox();
    void watchDeparture(const std::string& sender);
    int setUpLoop();
    void beginStop(bool releaseName);
    void leaveLoop();
    int finish();
};

// One row per operation, in protocol order, each with a handler of its own:
// sd-bus matches the method name, nothing here does.
#define PH_OPERATION(op)                                                                                  \
    SD_BUS_METHOD_WITH_NAMES(methodName(op).data(), "s", SD_BUS_PARAM(request), "s", SD_BUS_PARAM(reply), \
                             onMethod<op>, SD_BUS_VTABLE_UNPRIVILEGED)
const sd_bus_vtable BusService::Impl::kVtable[] = {
    SD_BUS_VTABLE_START(0),
    PH_OPERATION(Operation::IsFilePathWritable),
    PH_OPERATION(Operation::WriteDictionaryToPlistFile),
    PH_OPERATION(Operation::SendMagicPacket),
    PH_OPERATION(Operation::SendEchoAndRecvReply),
    PH_OPERATION(Operation::PdeSnmpGet),
    PH_OPERATION(Operation::CancelFileWrite),
    SD_BUS_VTABLE_END,
};
#undef PH_OPERATION

BusService::BusService(std::string busName, std::string interfaceName, BusServiceLimits limits)
    : impl_(std::make_unique<Impl>())
{
    impl_->busName = std::move(busName);
    impl_->interfaceName = std::move(interfaceName);
    impl_->limits = limits;
}

BusService::~BusService() = default;

void BusService::setDelegate(BusListenerDelegate* delegate) { impl_->delegate = delegate; }

std::size_t BusService::clientCount() const { return impl_->queue ? impl_->queue->clientCount() : 0; }
std::size_t BusService::workerCount() const { return impl_->queue ? impl_->queue->workerCount() : 0; }

int BusService::resume()
{
    Impl& s = *impl_;
    sd_event* rawEvent = nullptr;
    sd_bus* raw = nullptr;
    int r = s.outbox.valid() ? sd_event_default(&rawEvent) : -errno;
    s.event.reset(rawEvent);
    if (r >= 0)
        r = sd_bus_open_user(&raw);
    s.bus.reset(raw);
    if (r >= 0)
        r = sd_bus_attach_event(s.bus.get(), s.event.get(), SD_EVENT_PRIORITY_NORMAL);
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
        case W::Stopping: return s.post({Outgoing::Kind::Error, call.token, kStopping});
        case W::Refused:
            return s.post({Outgoing::Kind::Error, call.token, "the service does not serve this client",
                           SD_BUS_ERROR_ACCESS_DENIED});
        case W::OverLimit:
            return s.post({Outgoing::Kind::Error, call.token, "too many calls of this client, or of all, are waiting",
                           SD_BUS_ERROR_LIMITS_EXCEEDED});
        }
    };
    hooks.forgotten = [&s](const std::string& sender) { s.post({Outgoing::Kind::Forget, 0, sender}); };
    hooks.settled = [&s] { ReplyOutbox::wake(s.outbox.fd()); };
    s.queue = std::make_unique<ClientQueue>(s.limits.queue, std::move(hooks));

    // The object is complete before the name is taken, so that a call which
    // made the bus start us finds every method.
    sd_bus_slot* slot = nullptr;
    r = sd_bus_add_object_vtable(s.bus.get(), &slot, kServiceObjectPath, s.interfaceName.c_str(), Impl::kVtable, &s);
    s.object.reset(slot);
    if (r >= 0)
        r = s.setUpLoop();
    if (r < 0) {
        std::fprintf(stderr, "printer-helper-service: cannot set up the service: %s\n", std::strerror(-r));
        return 1;
    }
    r = sd_bus_request_name(s.bus.get(), s.busName.c_str(), 0);
    if (r < 0) {
        std::fprintf(stderr, "printer-helper-service: the bus name %s is already owned or cannot be taken (%s)\n",
                     s.busName.c_str(), std::strerror(-r));
        return 1;
    }
    sd_event_loop(s.event.get());
    return s.finish();
}

// The loop's sources besides the bus. The stop signals come first: one is
// acted on before the next message is taken in, however many are arriving.
// Replies go out before more calls are taken in.
int BusService::Impl::setUpLoop()
{
    auto onStop = [](sd_event_source*, const signalfd_siginfo*, void* userdata) -> int {
        static_cast<Impl*>(userdata)->beginStop(true);
        return 0;
    };
    auto onReplies = [](sd_event_source*, int, std::uint32_t, void* userdata) -> int {
        static_cast<Impl*>(userdata)->sendOutbox();
        return 0;
    };
    // The bus gone: nobody is left to answer, and no name to give back.
    auto onDisconnected = [](sd_bus_message*, void* userdata, sd_bus_error*) -> int {
        static_cast<Impl*>(userdata)->beginStop(false);
        return 0;
    };
    // Idle: the bus's own pattern for leaving. Give the name back, so that a
    // new call starts a new instance, then serve every call that was sent to
    // this one before the name went (the release's reply comes after them).
    auto onIdle = [](sd_event_source*, std::uint64_t, void* userdata) -> int {
        Impl& s = *static_cast<Impl*>(userdata);
        sd_notify(0, "STOPPING=1");
        sd_bus_release_name(s.bus.get(), s.busName.c_str());
        s.phase = Phase::Draining;
        while (s.phase == Phase::Draining && sd_bus_process(s.bus.get(), nullptr) > 0) {
        }
        return 0;
    };
    // Runs after every other dispatch, so before each wait: re-arms the idle
    // timer while nothing is held, and ends a drain or a stop once done.
    auto onCheck = [](sd_event_source*, void* userdata) -> int {
        Impl& s = *static_cast<Impl*>(userdata);
        const bool idle = s.open.empty() && s.queue->empty();
        switch (s.phase) {
        case Phase::Serving:
            if (idle)
                sd_event_source_set_time_relative(s.idleTimer.get(), usec(s.limits.idleExit));
            sd_event_source_set_enabled(s.idleTimer.get(), idle ? SD_EVENT_ONESHOT : SD_EVENT_OFF);
            break;
        case Phase::Draining:
            if (idle)
                s.leaveLoop();
            break;
        case Phase::Stopping:
            if (s.queue->workerCount() == 0)
                s.leaveLoop();
            break;
        }
        return 0;
    };
    auto onStopLimit = [](sd_event_source*, std::uint64_t, void* userdata) -> int {
        static_cast<Impl*>(userdata)->leaveLoop();
        return 0;
    };

    sd_event_source* src = nullptr;
    int r = 0;
    for (const int sig : {SIGTERM, SIGINT}) {
        if ((r = sd_event_add_signal(event.get(), &src, sig, onStop, this)) < 0)
            return r;
        sd_event_source_set_floating(src, 1);
        sd_event_source_set_priority(src, SD_EVENT_PRIORITY_IMPORTANT);
        sd_event_source_unref(src);
    }
    if ((r = sd_event_add_io(event.get(), &src, outbox.fd(), EPOLLIN, onReplies, this)) < 0)
        return r;
    replies.reset(src);
    sd_event_source_set_priority(src, SD_EVENT_PRIORITY_NORMAL - 1);
    if ((r = sd_event_add_time_relative(event.get(), &src, CLOCK_MONOTONIC, usec(limits.idleExit), 0, onIdle,
                                        this)) < 0)
        return r;
    idleTimer.reset(src);
    if ((r = sd_event_add_time_relative(event.get(), &src, CLOCK_MONOTONIC, usec(limits.stopLimit), 0, onStopLimit,
                                        this)) < 0)
        return r;
    stopTimer.reset(src);
    sd_event_source_set_enabled(src, SD_EVENT_OFF);
    if ((r = sd_event_add_post(event.get(), &src, onCheck, this)) < 0)
        return r;
    idleCheck.reset(src);
    return sd_bus_match_signal(bus.get(), nullptr, "org.freedesktop.DBus.Local", "/org/freedesktop/DBus/Local",
                               "org.freedesktop.DBus.Local", "Disconnected", onDisconnected, this);
}

template <Operation operation>
int BusService::Impl::onMethod(sd_bus_message* m, void* userdata, sd_bus_error* error)
{
    try {
        return static_cast<Impl*>(userdata)->onCall(operation, m, error);
    } catch (...) {
        return sd_bus_error_set_const(error, SD_BUS_ERROR_FAILED, "the service cannot take the call now");
    }
}

// A call from the bus (bus thread): kept referenced under a token until its
// reply goes out, and handed to its client's queue.
int BusService::Impl::onCall(Operation operation, sd_bus_message* m, sd_bus_error* error)
{
    const char* request = nullptr;
    if (const int r = sd_bus_message_read(m, "s", &request); r < 0)
        return r;
    if (stopping)
        return sd_bus_error_set_const(error, SD_BUS_ERROR_FAILED, kStopping);

    const char* sender = sd_bus_message_get_sender(m);
    const std::uint64_t token = ++lastToken;
    open.emplace(token, sd_bus_message_ref(m));
    try {
        const std::string from = sender ? sender : "";
        const bool mayWait = delegate && delegate->mayWait(operation);
        if (queue->arrive(from, QueuedCall{operation, request, mayWait, token}))
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
        target.dispatch(call.operation, call.request, reply);
    } catch (const std::exception& e) {
        failure = std::string("the operation failed: ") + e.what();
    } catch (...) {
        failure = "the operation failed";
    }
    if (!answered) {
        if (failure.empty())
            failure = stopping ? kStopping : "the operation gave no answer";
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

// The sender's calls queue behind each other: its queued calls are given up
// when it leaves. The track's handler runs once its one name has gone; a
// name that has gone already is not taken by the track at all.
void BusService::Impl::watchDeparture(const std::string& sender)
{
    auto onGone = [](sd_bus_track*, void* userdata) -> int {
        auto* d = static_cast<Departure*>(userdata);
        d->service->queue->leave(d->sender);
        return 0;
    };
    auto d = std::make_unique<Departure>();
    d->service = this;
    d->sender = sender;
    sd_bus_track* track = nullptr;
    if (sd_bus_track_new(bus.get(), &track, onGone, d.get()) < 0)
        return;  // no memory: its calls simply all run
    d->track.reset(track);
    if (sd_bus_track_add_name(track, sender.c_str()) < 0) {
        d.reset();
        queue->leave(sender);
        return;
    }
    departures.insert_or_assign(sender, std::move(d));
}

// A stop gives the name back first, so that a new call starts a new service
// instead of waiting on this one; queued calls are answered with an error at
// once, running ones when they end or at stopLimit.
void BusService::Impl::beginStop(bool releaseName)
{
    if (phase == Phase::Stopping)
        return;
    phase = Phase::Stopping;
    stopping = true;
    if (releaseName)
        sd_bus_release_name(bus.get(), busName.c_str());
    sd_event_source_set_enabled(idleTimer.get(), SD_EVENT_OFF);
    sd_event_source_set_enabled(stopTimer.get(), SD_EVENT_ONESHOT);
    queue->stop();
    if (delegate)
        delegate->serviceStopping();
}

// Ends the loop, whose end flushes and closes the connection: before that,
// the workers' last replies go out and every call still open is answered
// with an error.
void BusService::Impl::leaveLoop()
{
    sendOutbox();
    for (auto& [token, m] : open) {
        sd_bus_reply_method_errorf(m, SD_BUS_ERROR_FAILED, kStopping);
        sd_bus_message_unref(m);
    }
    open.clear();
    sd_event_exit(event.get(), 0);
}

int BusService::Impl::finish()
{
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
