#include "ManyClients.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <future>

namespace {

// Calls are given as long as the service may take: a read of 2^31 - 1 ms is
// ended by the test, never by the bus.
constexpr uint64_t kCallTimeoutUsec = 3600ull * 1000 * 1000;

}  // namespace

ManyClients::ManyClients(std::size_t n, std::string service, std::string interface, const std::string& address)
    : service_(std::move(service)), interface_(std::move(interface)), wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    connections_.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        Connection c;
        c.bus = address.empty() ? sdbus::createSessionBusConnection()
                                : sdbus::createSessionBusConnectionWithAddress(address);
        c.proxy = sdbus::createProxy(*c.bus, service_, "/");
        connections_.push_back(std::move(c));
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
        if (!c.proxy) {
            done(CallOutcome{false, "closed", std::chrono::steady_clock::now()});
            return;
        }
        c.dirty = true;
        c.proxy->callMethodAsync(method)
            .onInterface(interface_)
            .withTimeout(kCallTimeoutUsec)
            .withArguments(request)
            .uponReplyInvoke([done](const sdbus::Error* error, std::string reply) {
                done(CallOutcome{error == nullptr, error ? error->getName() : reply, std::chrono::steady_clock::now()});
            });
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
                connections_.at(i).proxy.reset();
                connections_.at(i).bus.reset();
            }
            toClose_.clear();
            timespec now{};
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            const uint64_t nowUsec = static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
            for (Connection& c : connections_) {
                if (!c.bus)
                    continue;
                if (c.dirty) {
                    try {
                        const auto data = c.bus->getEventLoopPollData();
                        c.fd = data.fd;
                        c.events = data.events;
                        c.timeoutUsec = data.timeout_usec;
                    } catch (const sdbus::Error&) {
                        continue;  // the bus has gone
                    }
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
            try {
                while (c.bus->processPendingRequest()) {
                }
            } catch (const sdbus::Error&) {
                // The bus has gone: the outcomes already delivered stay.
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
