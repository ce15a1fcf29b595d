#include "CancelWatcher.h"

#include "Settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr auto kPollPeriod = std::chrono::milliseconds(20);

// Only a regular file counts: a folder or link put at the path must neither
// cancel nor be removed.
bool holdsCancel(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

}  // namespace

struct CancelWatcher::Impl {
    struct Entry {
        std::string path;
        uint64_t generation;  // changes whenever the path is watched again
    };

    mutable std::mutex mutex;
    std::condition_variable wake;
    std::vector<Entry> entries;  // oldest first
    uint64_t nextGeneration = 0;
    bool stopping = false;
    std::thread thread;

    void run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return stopping || !entries.empty(); });
            if (stopping)
                return;

            // Look at the files without the lock, so watch() never waits for
            // the file system.
            const std::vector<Entry> snapshot = entries;
            lock.unlock();
            std::vector<Entry> cancelled;
            for (const Entry& e : snapshot) {
                if (holdsCancel(e.path)) {
                    gCancelFlag.store(1);
                    ::unlink(e.path.c_str());
                    cancelled.push_back(e);
                }
            }
            lock.lock();

            // A path watched again meanwhile belongs to a newer call and stays.
            for (const Entry& c : cancelled) {
                entries.erase(std::remove_if(entries.begin(), entries.end(),
                                             [&](const Entry& e) {
                                                 return e.path == c.path && e.generation == c.generation;
                                             }),
                              entries.end());
            }
            wake.wait_for(lock, kPollPeriod, [&] { return stopping; });
            if (stopping)
                return;
        }
    }
};

CancelWatcher::CancelWatcher() : impl_(new Impl)
{
    impl_->thread = std::thread([this] { impl_->run(); });
}

CancelWatcher::~CancelWatcher()
{
    {
        const std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->wake.notify_all();
    impl_->thread.join();
    delete impl_;
}

void CancelWatcher::watch(const std::string& path)
{
    {
        const std::lock_guard<std::mutex> lock(impl_->mutex);
        auto& entries = impl_->entries;
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [&](const Impl::Entry& e) { return e.path == path; }),
                      entries.end());
        if (entries.size() >= kMaxPaths)
            entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(entries.size() - kMaxPaths + 1));
        entries.push_back({path, impl_->nextGeneration++});
    }
    impl_->wake.notify_all();
}

std::size_t CancelWatcher::watchedCount() const
{
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->entries.size();
}

bool CancelWatcher::isWatched(const std::string& path) const
{
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    const auto& entries = impl_->entries;
    return std::any_of(entries.begin(), entries.end(), [&](const Impl::Entry& e) { return e.path == path; });
}
