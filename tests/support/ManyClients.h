#pragma once
// A test client of many direct bus connections, each its own client of the
// service (its own unique name), driven by one thread that polls them all.
// Tool processes alone cannot keep hundreds of calls in flight on two cores.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct sd_bus;

struct CallOutcome {
    bool ok = false;
    std::string text;  // the reply, or the error's name
    std::chrono::steady_clock::time_point at;
};

class ManyClients {
public:
    using Done = std::function<void(const CallOutcome&)>;

    // Opens n connections to the bus in DBUS_SESSION_BUS_ADDRESS (or address).
    ManyClients(std::size_t n, std::string service, std::string interface, const std::string& address = "");
    ~ManyClients();
    ManyClients(const ManyClients&) = delete;
    ManyClients& operator=(const ManyClients&) = delete;

    std::size_t size() const { return connections_.size(); }

    // Sends method(request) on connection i; done runs on the driving thread.
    void call(std::size_t i, const std::string& method, const std::string& request, Done done);

    // Sends and waits; none when no outcome came within limit.
    std::optional<CallOutcome> callAndWait(std::size_t i, const std::string& method, const std::string& request,
                                           std::chrono::milliseconds limit = std::chrono::seconds(30));

    // Closes connection i: that client leaves the bus.
    void close(std::size_t i);

private:
    struct Connection {
        sd_bus* bus = nullptr;  // closed and released by close() or the destructor
        // What to poll for, asked anew only after the connection was used:
        // asking all of them on every wake costs more than the calls.
        bool dirty = true;
        int fd = -1;
        short events = 0;
        uint64_t timeoutUsec = UINT64_MAX;
    };

    void drive();
    void poke();

    std::string service_;
    std::string interface_;
    std::vector<Connection> connections_;
    std::recursive_mutex mutex_;  // guards the connections; outcomes may start new calls
    std::vector<std::size_t> toClose_;
    int wake_ = -1;
    bool stopping_ = false;
    std::thread driver_;
};

// Collects outcomes that arrive on the driving thread.
class Outcomes {
public:
    ManyClients::Done slot(std::size_t index);
    void resize(std::size_t n);
    // Waits until count outcomes arrived or limit passed; answers how many did.
    std::size_t waitFor(std::size_t count, std::chrono::milliseconds limit);
    std::vector<std::optional<CallOutcome>> all();

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::optional<CallOutcome>> outcomes_;
    std::size_t count_ = 0;
};
