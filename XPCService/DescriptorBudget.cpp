#include "DescriptorBudget.h"

#include <sys/resource.h>

#include <algorithm>
#include <utility>

namespace {
constexpr std::size_t kBaseReserve = 32;
constexpr std::size_t kMinimumBudget = 2;

// The limit of this process (its soft RLIMIT_NOFILE).
std::size_t processLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 1024;
    return static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace

DescriptorBudget::DescriptorBudget(std::size_t limit)
{
    const std::size_t reserve = kBaseReserve + limit / 8;
    available_ = limit > reserve + kMinimumBudget ? limit - reserve : kMinimumBudget;
}

std::size_t DescriptorBudget::raiseProcessLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    return processLimit();
}

DescriptorBudget::Permit::Permit(Permit&& other) noexcept
    : budget_(std::exchange(other.budget_, nullptr)), count_(other.count_)
{
}

DescriptorBudget::Permit::~Permit()
{
    if (budget_)
        budget_->release(count_);
}

DescriptorBudget::Permit DescriptorBudget::acquire(std::size_t count, std::chrono::milliseconds limit)
{
    std::unique_lock lock(mutex_);
    const bool got = freed_.wait_for(lock, std::max(limit, std::chrono::milliseconds(0)),
                                     [&] { return stopped_ || available_ >= count; });
    if (!got || stopped_)
        return {};
    available_ -= count;
    return Permit(this, count);
}

void DescriptorBudget::release(std::size_t count)
{
    {
        std::lock_guard lock(mutex_);
        available_ += count;
    }
    freed_.notify_all();
}

void DescriptorBudget::stop()
{
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    freed_.notify_all();
}

std::size_t DescriptorBudget::available() const
{
    std::lock_guard lock(mutex_);
    return available_;
}

bool DescriptorBudget::stopped() const
{
    std::lock_guard lock(mutex_);
    return stopped_;
}
