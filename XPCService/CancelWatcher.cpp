#include "CancelWatcher.h"

#include "Settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

// A file by what it is (device, inode), whatever path led to it.
using FileId = std::pair<dev_t, ino_t>;

// What a look at a path found: the file it leads to now, and whether that holds
// a cancel (a regular file only: a folder put at the path is left alone).
struct Seen {
    std::optional<FileId> id;
    bool full = false;
};

Seen look(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    return Seen{FileId{st.st_dev, st.st_ino}, S_ISREG(st.st_mode) && st.st_size > 0};
}

using Looks = std::map<std::string, Seen>;

}  // namespace

// One mutex guards the tables, and every call takes it as it starts and ends;
// so no file-system call is made while it is held (on a network file system
// one can take seconds): the paths are copied out under it, looked at without
// it, and what was seen is applied under it again.
struct CancelWatcher::Impl {
    // A cancel file's name as a read gave it, and where it led at its last look.
    struct Name {
        std::string path;
        std::optional<FileId> id;
    };

    std::mutex mutex;
    std::condition_variable wake;
    std::unordered_map<CallCancel*, std::optional<Name>> running;  // and its file while watched
    std::deque<Name> ended;    // names of ended reads, oldest first
    std::size_t watched = 0;   // running calls with a path
    bool stopped = false;  // the service stops: every call is interrupted
    bool ending = false;   // the watcher thread ends
    std::thread thread;

    void raiseFollowers()
    {
        for (auto& [cancel, call] : running)
            if (cancel->followsCancelFlag())
                cancel->raise(CallCancel::Cause::Cancel);
    }

    // Never throws: when memory runs short, a cancel that comes just too late
    // is left in its file.
    void rememberEnded(const Name& name) noexcept
    {
        try {
            ended.erase(std::remove_if(ended.begin(), ended.end(), [&](const Name& e) { return e.path == name.path; }),
                        ended.end());
            ended.push_back(name);
            if (ended.size() > kMaxEndedPaths)
                ended.pop_front();
        } catch (const std::bad_alloc&) {
        }
    }

    // Applies looks, lock held: a file seen full cancels the running reads
    // whose name led to it, and is taken for the ended ones whose name leads
    // to it. gCancelFlag and the reads that follow it are raised first, so
    // whoever sees a read of that file cancelled sees them too. Answers the
    // names to remove.
    std::vector<std::string> apply(const Looks& looks)
    {
        std::set<FileId> full;
        for (const auto& [path, seen] : looks)
            if (seen.full)
                full.insert(*seen.id);
        auto leadsToFull = [&](Name& name) {
            auto it = looks.find(name.path);
            if (it == looks.end())
                return false;
            name.id = it->second.id;
            return name.id && full.count(*name.id) > 0;
        };
        std::vector<std::string> names;
        std::vector<CallCancel*> taken;
        for (auto& [cancel, file] : running)
            if (file && leadsToFull(*file))
                taken.push_back(cancel);
        for (Name& e : ended)
            if (leadsToFull(e))
                names.push_back(e.path);
        if (taken.empty() && names.empty())
            return names;

        gCancelFlag.store(1);
        raiseFollowers();
        for (CallCancel* cancel : taken) {
            std::optional<Name>& file = running.at(cancel);
            names.push_back(file->path);
            rememberEnded(*file);
            file.reset();
            --watched;
            cancel->raise(CallCancel::Cause::Cancel);
        }
        return names;
    }

    // Looks at the paths without the lock and applies what was seen with it;
    // once a cancel is taken, the watched names look again (one looked at before
    // the file came to it would find it gone). Then the taken names go, each
    // while it still holds the cancel (one made anew for a later read is empty,
    // and stays), or while it is a link whose target has just gone.
    void lookAndApply(std::unique_lock<std::mutex>& lock, Looks looks)
    {
        std::vector<std::string> names;
        for (int pass = 0; pass < 2 && (pass == 0 || !names.empty()); ++pass, looks = watchedNames()) {
            lock.unlock();
            for (auto& [path, seen] : looks)
                seen = look(path);
            lock.lock();
            for (std::string& name : apply(looks))
                names.push_back(std::move(name));
        }
        if (names.empty()) return;
        lock.unlock();
        for (const std::string& name : names) {
            struct stat st {};
            if (look(name).full || (::lstat(name.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && !look(name).id))
                ::unlink(name.c_str());
        }
        lock.lock();
    }

    // A sweep made now, on the caller's thread, with the file written and the
    // names of the ended reads that led to it or spelt it so. When memory runs
    // short, the running reads' cancel is left to the next sweep.
    void lookAt(const std::string& path) noexcept
    {
        const Seen written = look(path);
        if (!written.full)
            return;
        try {
            std::unique_lock lock(mutex);
            Looks looks = watchedNames();
            looks.try_emplace(path);
            for (const Name& e : ended)
                if (e.path == path || e.id == written.id)
                    looks.try_emplace(e.path);
            lookAndApply(lock, std::move(looks));
        } catch (const std::bad_alloc&) {
        }
    }

    Looks watchedNames() const
    {
        Looks looks;
        for (const auto& [cancel, file] : running)
            if (file)
                looks.try_emplace(file->path);
        return looks;
    }

    void add(CallCancel& cancel, const std::optional<std::string>& path)
    {
        const Seen seen = path ? look(*path) : Seen{};
        auto file = path ? std::optional<Name>(Name{*path, seen.id}) : std::nullopt;
        {
            const std::lock_guard lock(mutex);
            running.emplace(&cancel, std::move(file));
            if (path && watched++ == 0)
                wake.notify_one();
            if (stopped)
                cancel.raise(CallCancel::Cause::Stop);
        }
        if (seen.full)
            lookAt(*path);
    }

    void remove(CallCancel& cancel) noexcept
    {
        const std::lock_guard lock(mutex);
        const auto it = running.find(&cancel);  // there since its Running was made
        if (it->second) {
            rememberEnded(*it->second);
            --watched;
        }
        running.erase(it);
    }

    // Sweeps every kPollPeriod while a call has a path; sleeps without a
    // time-out while none has.
    void run()
    {
        std::unique_lock lock(mutex);
        auto next = std::chrono::steady_clock::now();
        while (!ending) {
            if (watched == 0) {
                wake.wait(lock);
                next = std::chrono::steady_clock::now() + kPollPeriod;
                continue;
            }
            if (wake.wait_until(lock, next) == std::cv_status::no_timeout)
                continue;  // a call came, or the end: next stays
            next = std::max(next + kPollPeriod, std::chrono::steady_clock::now());
            try {
                lookAndApply(lock, watchedNames());
            } catch (const std::bad_alloc&) {
                // The tables are whole; the next sweep tries again.
                if (!lock.owns_lock())
                    lock.lock();
            }
        }
    }
};

CancelWatcher::CancelWatcher() : impl_(std::make_unique<Impl>())
{
    impl_->thread = std::thread([this] { impl_->run(); });
}

CancelWatcher::~CancelWatcher()
{
    {
        const std::lock_guard lock(impl_->mutex);
        impl_->ending = true;
    }
    impl_->wake.notify_one();
    impl_->thread.join();
}

CancelWatcher::Running::Running(CancelWatcher& watcher, CallCancel& cancel,
                                const std::optional<std::string>& cancelFile)
    : watcher_(watcher), cancel_(cancel)
{
    watcher_.impl_->add(cancel_, cancelFile);
}

CancelWatcher::Running::~Running() { watcher_.impl_->remove(cancel_); }

void CancelWatcher::storeCancelFlag(int32_t value)
{
    const std::lock_guard lock(impl_->mutex);
    gCancelFlag.store(value);
    if (value != 0)
        impl_->raiseFollowers();
}

void CancelWatcher::cancelWritten(const std::string& path) { impl_->lookAt(path); }

void CancelWatcher::stopAll()
{
    const std::lock_guard lock(impl_->mutex);
    impl_->stopped = true;
    for (auto& [cancel, call] : impl_->running)
        cancel->raise(CallCancel::Cause::Stop);
}
