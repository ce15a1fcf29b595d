#include "BusService.h"

#include "BusNames.h"
#include "DepartureWatch.h"
#include "ReplyOutbox.h"
#include "ThreadLauncher.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-event.h>

#include <sys/epoll.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

// Threads: the thread in resume() owns the connection and its event loop (an
// sd-bus connection is not thread-safe); workers reach it only through the outbox.

namespace {

template <auto unref>
struct Unref {
    template <typename T>
    void operator()(T* object) const { unref(object); }
};
using EventPtr = std::unique_ptr<sd_event, Unref<sd_event_unref>>;
using SourcePtr = std::unique_ptr<sd_event_source, Unref<sd_event_source_unref>>;
using BusPtr = std::unique_ptr<sd_bus, Unref<sd_bus_flush_close_unref>>;
using SlotPtr = std::unique_ptr<sd_bus_slot, Unref<sd_bus_slot_unref>>;
using MessagePtr = std::unique_ptr<sd_bus_message, Unref<sd_bus_message_unref>>;

using Outgoing = ReplyOutbox::Entry;

constexpr const char* kStopping = "the service is stopping";

std::uint64_t usec(std::chrono::milliseconds ms) { return static_cast<std::uint64_t>(ms.count()) * 1000u; }

// Keeps a new event source in owner, at priority; answers r.
int own(int r, sd_event_source*& source, SourcePtr& owner, std::int64_t priority = SD_EVENT_PRIORITY_NORMAL)
{
    return r < 0 ? r : (owner.reset(source), sd_event_source_set_priority(source, priority));
}

// What a call that will not run is answered.
Outgoing answerFor(const QueuedCall& call, ClientQueue::GiveUp why)
{
    using W = ClientQueue::GiveUp;
    switch (why) {
    case W::ClientLeft: return {Outgoing::Kind::Drop, call.token, {}};
    case W::NoThread: return {Outgoing::Kind::Error, call.token, "no thread is left to run the call"};
    case W::Stopping: return {Outgoing::Kind::Error, call.token, kStopping};
    case W::Refused:
        return {Outgoing::Kind::Error, call.token, "the service does not serve this client", SD_BUS_ERROR_ACCESS_DENIED};
    case W::OverLimit: break;
    }
    return {Outgoing::Kind::Error, call.token, "too many calls are waiting", SD_BUS_ERROR_LIMITS_EXCEEDED};
}

// The vtable's argument names are literals; they must be the contract's.
static_assert(kMethodSignature == "s" && kRequestArgumentName == "request" && kReplyArgumentName == "reply");

}  // namespace

struct BusService::Impl {
    enum class Phase { Serving, Draining, Stopping };
    Impl(std::string name, std::string interface, BusServiceLimits l)
        : busName(std::move(name)), interfaceName(std::move(interface)), limits(l) {}

    std::string busName;
    std::string interfaceName;
    BusServiceLimits limits;
    BusListenerDelegate* delegate = nullptr;

    // In the order they are made, so that they go in reverse.
    EventPtr event;
    BusPtr bus;
    SlotPtr object;
    SourcePtr term, interrupt, replies, timer, check;
    ReplyOutbox outbox;
    std::unique_ptr<ClientQueue> queue;
    Phase phase = Phase::Serving;
    // Bus thread only: the calls not yet answered, and whose departure counts.
    std::unordered_map<std::uint64_t, MessagePtr> open;
    std::uint64_t lastToken = 0;
    std::optional<DepartureWatch> departures;
    std::vector<Outgoing> sending;

    static const sd_bus_vtable kVtable[];
    template <Operation operation>
    static int onMethod(sd_bus_message* m, void* userdata, sd_bus_error* error);
    int onCall(Operation operation, sd_bus_message* m, sd_bus_error* error);
    void runCall(BusExportedObject& target, QueuedCall& call);
    void sendOutbox();
    int setUpLoop();
    void beginStop(bool releaseName);
    void leaveLoop();
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
    : impl_(std::make_unique<Impl>(std::move(busName), std::move(interfaceName), limits))
{
}

BusService::~BusService() = default;

void BusService::setDelegate(BusListenerDelegate* delegate) { impl_->delegate = delegate; }

int BusService::resume()
{
    Impl& s = *impl_;
    auto fail = [](const char* what, int r) {
        std::fprintf(stderr, "printer-helper-service: %s (%s)\n", what, std::strerror(-r));
        return 1;
    };
    sd_event* event = nullptr;
    sd_bus* bus = nullptr;
    int r = s.outbox.valid() ? sd_event_default(&event) : -errno;
    s.event.reset(event);
    if (r >= 0)
        r = sd_bus_open_user(&bus);
    s.bus.reset(bus);
    if (r < 0 || (r = sd_bus_attach_event(bus, event, SD_EVENT_PRIORITY_NORMAL)) < 0)
        return fail("cannot connect to the session bus", r);

    ClientQueue::Hooks hooks;
    hooks.accept = [&s](const std::string&) -> std::shared_ptr<BusExportedObject> {
        BusPeer peer;
        return s.delegate && s.delegate->shouldAcceptNewConnection(peer) ? peer.exportedObject : nullptr;
    };
    hooks.launch = startSmallThread;
    hooks.run = [&s](BusExportedObject& target, QueuedCall& call) { s.runCall(target, call); };
    hooks.giveUp = [&s](QueuedCall& call, ClientQueue::GiveUp why) { s.outbox.post(answerFor(call, why)); };
    hooks.forgotten = [&s](const std::string& sender) { s.outbox.post({Outgoing::Kind::Forget, 0, sender}); };
    hooks.settled = [&s] { ReplyOutbox::wake(s.outbox.fd()); };
    s.queue = std::make_unique<ClientQueue>(s.limits.queue, std::move(hooks));
    s.departures.emplace(bus, [&s](const std::string& sender) { s.queue->leave(sender); });

    // The object is complete before the name is taken, so that a call which
    // made the bus start us finds every method.
    sd_bus_slot* slot = nullptr;
    r = sd_bus_add_object_vtable(bus, &slot, kServiceObjectPath, s.interfaceName.c_str(), Impl::kVtable, &s);
    s.object.reset(slot);
    if (r < 0 || (r = s.setUpLoop()) < 0)
        return fail("cannot set up the service", r);
    if ((r = sd_bus_request_name(bus, s.busName.c_str(), 0)) < 0)
        return fail(("the bus name " + s.busName + " is already owned or cannot be taken").c_str(), r);
    sd_event_loop(event);
    if (s.queue->workerCount() > 0) {
        // A call ignores its interrupt: the open calls' errors go out, then so do we.
        sd_bus_flush(bus);
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}

// The loop's sources besides the bus. The stop signals come first, so that
// one is acted on before the next message is taken in, however many arrive;
// the workers' replies go out before more calls are taken in.
int BusService::Impl::setUpLoop()
{
    auto onStop = [](sd_event_source*, const signalfd_siginfo*, void* s) { return static_cast<Impl*>(s)->beginStop(true), 0; };
    auto onReplies = [](sd_event_source*, int, std::uint32_t, void* s) { return static_cast<Impl*>(s)->sendOutbox(), 0; };
    // The bus has gone: nobody is left to answer, and no name to give back.
    auto onDisconnected = [](sd_bus_message*, void* s, sd_bus_error*) { return static_cast<Impl*>(s)->beginStop(false), 0; };
    // Idle: give the name back, so that a new call starts a new instance, then
    // serve the calls sent to this one before (the release's reply follows
    // them). Stopping: the time for running calls is up.
    auto onTimer = [](sd_event_source*, std::uint64_t, void* userdata) {
        Impl& s = *static_cast<Impl*>(userdata);
        if (s.phase == Phase::Stopping)
            return s.leaveLoop(), 0;
        sd_notify(0, "STOPPING=1");
        sd_bus_release_name(s.bus.get(), s.busName.c_str());
        s.phase = Phase::Draining;
        while (s.phase == Phase::Draining && sd_bus_process(s.bus.get(), nullptr) > 0) {}
        return 0;
    };
    // After every other dispatch, so before each wait: re-arms the idle
    // timer while nothing is held, and ends a drain or a stop once done.
    auto onCheck = [](sd_event_source*, void* userdata) {
        Impl& s = *static_cast<Impl*>(userdata);
        const bool idle = s.open.empty() && s.queue->empty();
        if (s.phase == Phase::Serving && idle)
            sd_event_source_set_time_relative(s.timer.get(), usec(s.limits.idleExit));
        if (s.phase == Phase::Serving)
            sd_event_source_set_enabled(s.timer.get(), idle ? SD_EVENT_ONESHOT : SD_EVENT_OFF);
        else if (s.phase == Phase::Draining ? idle : s.queue->workerCount() == 0)
            s.leaveLoop();
        return 0;
    };

    sd_event* e = event.get();
    sd_event_source* src = nullptr;
    const std::uint64_t idle = usec(limits.idleExit);
    int r = 0;
    if ((r = own(sd_event_add_signal(e, &src, SIGTERM, onStop, this), src, term, SD_EVENT_PRIORITY_IMPORTANT)) < 0 ||
        (r = own(sd_event_add_signal(e, &src, SIGINT, onStop, this), src, interrupt, SD_EVENT_PRIORITY_IMPORTANT)) < 0 ||
        (r = own(sd_event_add_io(e, &src, outbox.fd(), EPOLLIN, onReplies, this), src, replies,
                 SD_EVENT_PRIORITY_NORMAL - 1)) < 0 ||
        (r = own(sd_event_add_time_relative(e, &src, CLOCK_MONOTONIC, idle, 0, onTimer, this), src, timer)) < 0 ||
        (r = own(sd_event_add_post(e, &src, onCheck, this), src, check)) < 0)
        return r;
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
    if (phase == Phase::Stopping)
        return sd_bus_error_set_const(error, SD_BUS_ERROR_FAILED, kStopping);

    const char* sender = sd_bus_message_get_sender(m);
    const std::string from = sender ? sender : "";
    const std::uint64_t token = ++lastToken;
    open.emplace(token, MessagePtr(sd_bus_message_ref(m)));
    bool watch = false;
    try {
        watch = queue->arrive(from, QueuedCall{operation, request, delegate && delegate->mayWait(operation), token});
    } catch (...) {
        open.erase(token);  // not taken: the caller's error reply answers it
        throw;
    }
    if (watch)
        departures->watch(from);
    return 1;
}

// On the client's worker: whatever the handler does, exactly one answer is
// queued for the call.
void BusService::Impl::runCall(BusExportedObject& target, QueuedCall& call)
{
    bool answered = false;
    const BusReply reply = [this, token = call.token, &answered](const std::string& text) {
        if (!std::exchange(answered, true))
            outbox.post({Outgoing::Kind::Reply, token, text});
    };
    const char* failure = "the operation gave no answer";
    try {
        target.dispatch(call.operation, call.request, reply);
    } catch (...) {
        failure = "the operation failed";
    }
    if (!answered)
        outbox.post({Outgoing::Kind::Error, call.token, failure});
}

// Bus thread: sends what the workers queued. A reply that cannot be sent (the
// bus has gone) is dropped: nobody could be told.
void BusService::Impl::sendOutbox()
{
    outbox.take(sending);
    for (Outgoing& out : sending) {
        if (out.kind == Outgoing::Kind::Forget)
            departures->forget(out.text);
        const auto node = open.extract(out.token);  // none for a Forget, or a call answered at a stop
        if (node.empty())
            continue;
        sd_bus_message* m = node.mapped().get();
        if (out.kind == Outgoing::Kind::Reply && sd_bus_reply_method_return(m, "s", out.text.c_str()) == -EINVAL)
            sd_bus_reply_method_errorf(m, SD_BUS_ERROR_FAILED, "the reply is not valid UTF-8");
        else if (out.kind == Outgoing::Kind::Error)
            sd_bus_reply_method_errorf(m, out.errorName, "%s", out.text.c_str());
    }
    sending.clear();
}

// A stop gives the name back first, so that a new call starts a new service;
// queued calls are answered at once, running ones when they end or at stopLimit.
void BusService::Impl::beginStop(bool releaseName)
{
    if (std::exchange(phase, Phase::Stopping) == Phase::Stopping)
        return;
    if (releaseName)  // not waiting for the reply, which follows every call that streams in
        sd_bus_release_name_async(bus.get(), nullptr, busName.c_str(), nullptr, nullptr);
    sd_event_source_set_time_relative(timer.get(), usec(limits.stopLimit));
    sd_event_source_set_enabled(timer.get(), SD_EVENT_ONESHOT);
    queue->stop();
    if (delegate)
        delegate->serviceStopping();
}

// Ends the loop, whose end flushes and closes the connection: first the last
// replies go out, and every call still open is answered with an error.
void BusService::Impl::leaveLoop()
{
    sendOutbox();
    for (auto& [token, m] : open)
        sd_bus_reply_method_errorf(m.get(), SD_BUS_ERROR_FAILED, kStopping);
    open.clear();
    sd_event_exit(event.get(), 0);
}
