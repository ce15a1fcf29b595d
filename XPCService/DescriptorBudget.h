#pragma once
// The descriptors that running network calls may hold at once. Each SNMP read
// and echo holds two (its socket and its interrupt) for as long as it waits
// on the network; file calls hold theirs only for a few system calls. So the
// network calls get the process's descriptor limit less a reserve, and a call
// that finds none left waits for one within its own time-out, or fails alone,
// rather than leaving the file calls of every other client without any.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

class DescriptorBudget {
public:
    // limit: the process's descriptor limit. The reserve left to everything
    // else is 32 plus an eighth of it; the network calls get at least two.
    explicit DescriptorBudget(std::size_t limit);
    // Raises the soft descriptor limit to the hard one; answers the new limit.
    static std::size_t raiseProcessLimit();

    // Held descriptors, given back when it ends.
    class Permit {
    public:
        Permit() = default;
        Permit(Permit&& other) noexcept;
        Permit& operator=(Permit&&) = delete;
        ~Permit();
        explicit operator bool() const { return budget_ != nullptr; }

    private:
        friend class DescriptorBudget;
        Permit(DescriptorBudget* budget, std::size_t count) : budget_(budget), count_(count) {}
        DescriptorBudget* budget_ = nullptr;
        std::size_t count_ = 0;
    };

    // count descriptors, waiting for them until limit has passed; none when
    // they did not free up in time or the service stops.
    Permit acquire(std::size_t count, std::chrono::milliseconds limit);

    // Every waiting and later acquire answers none.
    void stop();

    std::size_t available() const;
    bool stopped() const;

private:
    void release(std::size_t count);

    mutable std::mutex mutex_;
    std::condition_variable freed_;
    std::size_t available_;
    bool stopped_ = false;
};
