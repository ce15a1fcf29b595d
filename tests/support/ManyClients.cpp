#include "ManyClients.h"

#include "ServiceHarness.h"

#include <systemd/sd-bus.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <future>
#include <stdexcept>

namespace {

// Calls are given as long as the service may take: a read of 2^31 - 1 ms is
// ended by the test, never by the bus.
constexpr uint64_t kCallTimeoutUsec = 3600ull * 1000 * 1000;

// One call's outcome handler, freed with its slot whether a reply came or not.
struct Pending {
    ManyClients::Done done;
};

extern "C" int onReply(sd_bus_message* reply, void* userdata, sd_bus_error*)
{
    CallOutcome outcome{false, {}, std::chrono::steady_clock::now()};
    if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
        outcome.text = error->name ? error->name : "";
    } else {
        const char* text = nullptr;
        outcome.ok = sd_bus_message_read(reply, "s", &text) >= 0;
        outcome.text = outcome.ok ? text : "unreadable reply";
    }
    static_cast<Pending*>(userdata)->done(outcome);
    return 0;
}

}  // namespace

ManyClients::ManyClients(std::size_t n, std::string service, std::string interface, const std::string& address)
    : service_(std::move(service)), interface_(std::move(interface)), wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    connections_.reserve(n);
    try {
        for (std::size_t i = 0; i < n; ++i) {
            Connection c;
            c.bus = connectToBus(address);
            connections_.push_back(c);
        }
    } catch (...) {
        for (Connection& c : connections_)
            sd_bus_flush_close_unref(c.bus);
        ::close(wake_);
        throw;
    }
    driver_ = std::thread([this] { drive(); });
}

ManyClients::~ManyClients()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    poke();
    driver_.join();
    for (Connection& c : connections_)
        sd_bus_flush_close_unref(c.bus);
    ::close(wake_);
}

void ManyClients::poke()
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

void ManyClients::call(std::size_t i, const std::string& method, const std::string& request, Done done)
{
    {
        std::lock_guard lock(mutex_);
        Connection& c = connections_.at(i);
        if (!c.bus) {
            done(CallOutcome{false, "closed", std::chrono::steady_clock::now()});
            return;
        }
        c.dirty = true;
        sd_bus_message* m = nullptr;
        sd_bus_slot* slot = nullptr;
        auto* pending = new Pending{std::move(done)};
        int r = sd_bus_message_new_method_call(c.bus, &m, service_.c_str(), "/", interface_.c_str(), method.c_str());
        if (r >= 0)
            r = sd_bus_message_append(m, "s", request.c_str());
        if (r >= 0)
            r = sd_bus_call_async(c.bus, &slot, m, onReply, pending, kCallTimeoutUsec);
        sd_bus_message_unref(m);
        if (r < 0) {
            Done failed = std::move(pending->done);
            delete pending;
            failed(CallOutcome{false, std::string("not sent: ") + std::strerror(-r), std::chrono::steady_clock::now()});
            return;
        }
        // The bus keeps the slot until the reply came or the connection
        // closed; either way the handler is freed with it.
        sd_bus_slot_set_destroy_callback(slot, [](void* userdata) { delete static_cast<Pending*>(userdata); });
        sd_bus_slot_set_floating(slot, 1);
        sd_bus_slot_unref(slot);
    }
    poke();  // the driver may need to flush what was queued
}

std::optional<CallOutcome> ManyClients::callAndWait(std::size_t i, const std::string& method,
                                                    const std::string& request, std::chrono::milliseconds limit)
{
    auto promise = std::make_shared<std::promise<CallOutcome>>();
    auto future = promise->get_future();
    call(i, method, request, [promise](const CallOutcome& o) { promise->set_value(o); });
    if (future.wait_for(limit) != std::future_status::ready)
        return std::nullopt;
    return future.get();
}

void ManyClients::close(std::size_t i)
{
    {
        std::lock_guard lock(mutex_);
        toClose_.push_back(i);
    }
    poke();
}

void ManyClients::drive()
{
    std::vector<pollfd> fds;
    std::vector<Connection*> polled;  // polled[k] owns fds[k + 1]
    for (;;) {
        int timeout = -1;
        fds.assign(1, pollfd{wake_, POLLIN, 0});
        polled.clear();
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            for (std::size_t i : toClose_) {
                // Closing drops the outstanding calls without their handlers:
                // the client has left, nobody reads those replies.
                sd_bus_flush_close_unref(connections_.at(i).bus);
                connections_.at(i).bus = nullptr;
            }
            toClose_.clear();
            timespec now{};
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            const uint64_t nowUsec = static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
            for (Connection& c : connections_) {
                if (!c.bus)
                    continue;
                if (c.dirty) {
                    const int events = sd_bus_get_events(c.bus);
                    if (events < 0)
                        continue;  // the bus has gone
                    c.fd = sd_bus_get_fd(c.bus);
                    c.events = static_cast<short>(events);
                    if (sd_bus_get_timeout(c.bus, &c.timeoutUsec) < 0)
                        c.timeoutUsec = UINT64_MAX;
                    c.dirty = false;
                }
                fds.push_back(pollfd{c.fd, c.events, 0});
                polled.push_back(&c);
                if (c.timeoutUsec != UINT64_MAX) {
                    const int ms = c.timeoutUsec <= nowUsec ? 0 : static_cast<int>((c.timeoutUsec - nowUsec) / 1000 + 1);
                    timeout = timeout < 0 ? ms : std::min(timeout, ms);
                }
            }
        }
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        uint64_t drained;
        while (::read(wake_, &drained, sizeof drained) > 0) {
        }
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        // A connection is looked at when it has input or a time-out is due;
        // one closed meanwhile is skipped.
        for (std::size_t k = 0; k < polled.size(); ++k) {
            Connection& c = *polled[k];
            if (!c.bus || (fds[k + 1].revents == 0 && ready != 0))
                continue;
            c.dirty = true;
            // A failure means the bus has gone: the outcomes already
            // delivered stay.
            while (sd_bus_process(c.bus, nullptr) > 0) {
            }
        }
    }
}

ManyClients::Done Outcomes::slot(std::size_t index)
{
    return [this, index](const CallOutcome& o) {
        std::lock_guard lock(mutex_);
        if (!outcomes_.at(index))
            ++count_;
        outcomes_.at(index) = o;
        arrived_.notify_all();
    };
}

void Outcomes::resize(std::size_t n)
{
    std::lock_guard lock(mutex_);
    outcomes_.assign(n, std::nullopt);
    count_ = 0;
}

std::size_t Outcomes::waitFor(std::size_t count, std::chrono::milliseconds limit)
{
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, limit, [&] { return count_ >= count; });
    return count_;
}

std::vector<std::optional<CallOutcome>> Outcomes::all()
{
    std::lock_guard lock(mutex_);
    return outcomes_;
}
