#include "CancelWatcher.h"

#include "Settings.h"
#include "UniqueFd.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

constexpr uint32_t kWatchMask = IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_ONLYDIR;

// Only a regular file counts: a folder or link put at the path must neither
// cancel nor be removed.
bool holdsCancel(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

// Network and user-space file systems report only the changes made on this
// machine, if any: a cancel written elsewhere is seen only by looking.
bool givesNoEvents(const std::string& folder)
{
    struct statfs fs {};
    if (::statfs(folder.c_str(), &fs) != 0)
        return true;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE
    case 0x01021997:  // 9P
    case 0x00C36400:  // Ceph
    case 0x5346414F:  // AFS
        return true;
    default:
        return false;
    }
}

std::string eventKey(int wd, std::string_view name) { return std::to_string(wd) + '/' + std::string(name); }

}  // namespace

std::optional<WatchedName> splitWatchedPath(std::string_view path)
{
    if (path.empty() || path.back() == '/' || path.find('\0') != std::string_view::npos)
        return std::nullopt;
    const std::size_t slash = path.rfind('/');
    WatchedName w;
    if (slash == std::string_view::npos) {
        w.folder = ".";
        w.name = std::string(path);
    } else {
        w.folder = slash == 0 ? std::string("/") : std::string(path.substr(0, slash));
        w.name = std::string(path.substr(slash + 1));
    }
    if (w.name == "." || w.name == "..")
        return std::nullopt;
    return w;
}

std::size_t forEachInotifyEvent(const unsigned char* buffer, std::size_t size,
                                const std::function<void(int, uint32_t, std::string_view)>& each)
{
    std::size_t count = 0;
    std::size_t at = 0;
    while (size - at >= sizeof(inotify_event)) {
        inotify_event header;
        std::memcpy(&header, buffer + at, sizeof header);
        const std::size_t nameStart = at + sizeof header;
        if (header.len > size - nameStart)
            break;
        const char* name = reinterpret_cast<const char*>(buffer + nameStart);
        each(header.wd, header.mask, std::string_view(name, strnlen(name, header.len)));
        at = nameStart + header.len;
        ++count;
    }
    return count;
}

struct CancelWatcher::Impl {
    // One path that running reads named.
    struct Watched {
        int wd = -1;  // -1: looked at every kPollPeriod instead
        std::string key;
        std::vector<CallCancel*> calls;
    };

    mutable std::mutex mutex;
    std::map<std::string, Watched> watched;                   // by path, as the reads named it
    std::unordered_map<std::string, std::string> pathByEvent;  // "wd/name" to path
    std::unordered_map<int, std::size_t> wdUsers;
    std::unordered_map<CallCancel*, std::optional<std::string>> running;
    std::size_t polledPaths = 0;
    std::unordered_set<std::string> ended;  // paths of reads that have answered
    std::deque<std::string> endedOrder;      // the same, oldest first
    bool stopped = false;   // the service stops: every call is interrupted
    bool stopping = false;  // the watcher thread ends

    UniqueFd inotify{::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)};
    UniqueFd wake{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
    std::thread thread;

    void poke()
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake.get(), &one, sizeof one);
    }

    // Lock held. The reads of path are cancelled when its file holds a cancel.
    void check(const std::string& path)
    {
        auto it = watched.find(path);
        if (it == watched.end() || it->second.calls.empty() || !holdsCancel(path))
            return;
        gCancelFlag.store(1);
        ::unlink(path.c_str());
        // Those reads are done with the file: it is watched no longer.
        for (CallCancel* call : it->second.calls) {
            call->raise(CallCancel::Cause::Cancel);
            running[call] = std::nullopt;
        }
        unwatch(it);
        raiseFollowers();
    }

    void unwatch(std::map<std::string, Watched>::iterator it)
    {
        const int wd = it->second.wd;
        if (wd >= 0) {
            pathByEvent.erase(it->second.key);
            if (--wdUsers[wd] == 0) {
                wdUsers.erase(wd);
                ::inotify_rm_watch(inotify.get(), wd);
            }
        } else {
            --polledPaths;
        }
        rememberEnded(it->first);
        watched.erase(it);
    }

    void rememberEnded(const std::string& path)
    {
        if (!ended.insert(path).second)
            return;
        endedOrder.push_back(path);
        if (endedOrder.size() > kMaxEndedPaths) {
            ended.erase(endedOrder.front());
            endedOrder.pop_front();
        }
    }

    void raiseFollowers()
    {
        for (auto& [call, path] : running)
            if (call->followsCancelFlag())
                call->raise(CallCancel::Cause::Cancel);
    }

    void add(CallCancel& call, const std::optional<std::string>& path)
    {
        std::lock_guard lock(mutex);
        running.emplace(&call, path);
        if (stopped)
            call.raise(CallCancel::Cause::Stop);
        if (!path)
            return;
        auto [it, isNew] = watched.try_emplace(*path);
        it->second.calls.push_back(&call);
        if (isNew) {
            const auto split = splitWatchedPath(*path);
            int wd = -1;
            if (split && inotify && !givesNoEvents(split->folder))
                wd = ::inotify_add_watch(inotify.get(), split->folder.c_str(), kWatchMask);
            it->second.wd = wd;
            if (wd >= 0) {
                ++wdUsers[wd];
                it->second.key = eventKey(wd, split->name);
                pathByEvent[it->second.key] = *path;
            } else if (++polledPaths == 1) {
                poke();
            }
        }
        check(*path);
    }

    void remove(CallCancel& call)
    {
        std::lock_guard lock(mutex);
        auto r = running.find(&call);
        if (r == running.end())
            return;
        const std::optional<std::string> path = r->second;
        running.erase(r);
        if (!path)
            return;
        auto it = watched.find(*path);
        if (it == watched.end())
            return;
        auto& calls = it->second.calls;
        calls.erase(std::remove(calls.begin(), calls.end(), &call), calls.end());
        if (calls.empty())
            unwatch(it);
    }

    void run()
    {
        std::vector<unsigned char> buffer(16 * (sizeof(inotify_event) + NAME_MAX + 1));
        for (;;) {
            int timeout = -1;
            {
                std::lock_guard lock(mutex);
                if (stopping)
                    return;
                if (polledPaths > 0)
                    timeout = static_cast<int>(kPollPeriod.count());
            }
            pollfd fds[2] = {{wake.get(), POLLIN, 0}, {inotify.get(), POLLIN, 0}};
            const int rc = ::poll(fds, inotify ? 2 : 1, timeout);
            if (rc < 0 && errno != EINTR)
                return;

            uint64_t drained;
            while (::read(wake.get(), &drained, sizeof drained) > 0) {
            }
            std::vector<std::string> changed;
            bool overflow = false;
            for (;;) {
                const ssize_t n = inotify ? ::read(inotify.get(), buffer.data(), buffer.size()) : -1;
                if (n <= 0)
                    break;
                forEachInotifyEvent(buffer.data(), static_cast<std::size_t>(n),
                                    [&](int wd, uint32_t mask, std::string_view name) {
                                        if (mask & IN_Q_OVERFLOW)
                                            overflow = true;
                                        else if (!name.empty())
                                            changed.push_back(eventKey(wd, name));
                                    });
            }

            std::lock_guard lock(mutex);
            if (stopping)
                return;
            for (const std::string& key : changed) {
                auto it = pathByEvent.find(key);
                if (it != pathByEvent.end())
                    check(std::string(it->second));
            }
            // Events lost to an overflow, or never given: look at the files.
            if (overflow || polledPaths > 0) {
                std::vector<std::string> paths;
                for (const auto& [path, w] : watched)
                    if (overflow || w.wd < 0)
                        paths.push_back(path);
                for (const std::string& path : paths)
                    check(path);
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
        impl_->stopping = true;
    }
    impl_->poke();
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

void CancelWatcher::cancelWritten(const std::string& path)
{
    const std::lock_guard lock(impl_->mutex);
    if (impl_->watched.count(path) > 0) {
        impl_->check(path);
        return;
    }
    if (impl_->ended.count(path) == 0 || !holdsCancel(path))
        return;
    gCancelFlag.store(1);
    ::unlink(path.c_str());
    impl_->raiseFollowers();
}

void CancelWatcher::stopAll()
{
    const std::lock_guard lock(impl_->mutex);
    impl_->stopped = true;
    for (auto& [call, path] : impl_->running)
        call->raise(CallCancel::Cause::Stop);
}

std::size_t CancelWatcher::watchedCount() const
{
    const std::lock_guard lock(impl_->mutex);
    return impl_->watched.size();
}

bool CancelWatcher::isWatched(const std::string& path) const
{
    const std::lock_guard lock(impl_->mutex);
    return impl_->watched.count(path) > 0;
}
