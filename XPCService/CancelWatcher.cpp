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
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t kWatchMask =
    IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// A name made anew may now be, or lead to, another file (a link re-pointed).
constexpr uint32_t kNameMadeAnew = IN_CREATE | IN_MOVED_TO;
// The watched folder no longer sits at the paths that named it.
constexpr uint32_t kFolderGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED;

// Only a regular file counts: a folder or link put at the path must neither
// cancel nor be removed.
bool holdsCancel(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

// Undoes one step of a change unless the whole change went through.
template <typename Undo>
class Rollback {
public:
    explicit Rollback(Undo undo) : undo_(std::move(undo)) {}
    ~Rollback()
    {
        if (armed_)
            undo_();
    }
    Rollback(const Rollback&) = delete;
    Rollback& operator=(const Rollback&) = delete;
    void dismiss() { armed_ = false; }

private:
    Undo undo_;
    bool armed_ = true;
};

}  // namespace

// The lock. One mutex guards the tables below, and every call takes it as it
// starts and ends; so it is never held across a call into the file system,
// which on a network file system can take seconds:
//   - a call looks its cancel path up (stat, statfs, lstat, readlink) before
//     it locks, and enters the result;
//   - only the watcher thread adds and removes inotify watches: it reads the
//     folder table under the lock, calls inotify outside it, and writes back
//     what it found, checking that the folder is still the one asked for;
//   - a look at a file (stat, unlink) is claimed per file under the lock and
//     made outside it; a look asked for meanwhile is made again by the
//     claimant, so no byte goes unseen and no cancel is removed twice (the
//     second removal could take the file that a new read has just made).
// Each step either completes or leaves the tables as they were when memory
// runs short, so nothing here ends the process.
struct CancelWatcher::Impl {
    // A running call. One with a cancel path is Settling until the watcher
    // thread has set the watches it needs and looked at its file once, then
    // Watching; Lost while its folder cannot be looked up (looked up again
    // every kPollPeriod); None once its cancel was taken or when it has no
    // cancel file.
    enum class Watch { None, Settling, Watching, Lost };
    struct Call;
    using Index = std::multimap<FileKey, Call*>;
    struct Call {
        CallCancel* cancel = nullptr;
        uint64_t seq = 0;  // order of arrival; a look takes only the calls that came before it
        std::string path;  // as the call named it
        Watch watch = Watch::None;
        std::optional<Resolved> where;  // while Settling or Watching
        Index::iterator atFile, atLink;
    };

    // A folder that watched names sit in; the watcher thread acts on Wanted
    // and on folders nobody uses any more.
    enum class FolderState {
        Wanted,       // its watch is to be added
        Watched,      // inotify reports on it
        Unwatchable,  // inotify refused it: its calls are polled
        Gone,         // deleted or moved while watched: its calls are Lost
    };
    struct Folder {
        explicit Folder(std::string p) : path(std::move(p)) {}
        std::string path;
        std::size_t users = 0;
        FolderState state = FolderState::Wanted;
    };

    // One name that running calls gave for a file, looked at without the lock.
    struct Name {
        FileKey key;
        std::string path;
        bool held = false;
    };

    // A call whose path is to be looked up again, and what it names now.
    struct Redo {
        CallCancel* cancel;
        uint64_t seq;
        std::string path;
        std::optional<Resolved> where;
    };

    struct Event {
        FileKey key;
        uint32_t mask;
    };

    mutable std::mutex mutex;
    std::condition_variable lookEnded;
    std::unordered_map<CallCancel*, Call> running;
    Index byFile;  // the file whose content counts: the path's own, or its link's target
    Index byLink;  // calls that named a symbolic link, by the link's own name
    std::map<FolderId, Folder> folders;
    std::map<FileKey, bool> looking;  // files being looked at; true: look once more
    std::set<FileKey> ended;          // names of calls that have answered
    std::deque<FileKey> endedOrder;   // the same, oldest first
    uint64_t lastSeq = 0;
    bool foldersChanged = false;  // the watcher thread has watches to add or remove
    bool lookUpLostNow = false;   // a cancel came for a path that may lead to a lost call
    bool resettle = false;        // calls moved to new places: they settle on the next round
    bool stopped = false;         // the service stops: every call is interrupted
    bool stopping = false;        // the watcher thread ends

    UniqueFd inotify{::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)};
    UniqueFd wake{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
    std::thread thread;

    // The watcher thread's own: the watches it holds.
    std::map<FolderId, int> wdOf;
    std::unordered_map<int, FolderId> folderOf;
    bool ticking = false;  // some call is polled or lost
    std::chrono::steady_clock::time_point nextTick;

    void poke()
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake.get(), &one, sizeof one);
    }

    // --- the tables, lock held -------------------------------------------

    // Counts a use of the place's folder. True when the watcher thread has
    // to act before the place is watched: a folder new to the table, one
    // that came back, or one that inotify refused (polled). A place whose
    // file system gives no events needs no folder.
    bool acquire(const Place& p)
    {
        if (p.polled)
            return false;
        auto [it, isNew] = folders.try_emplace(p.key.folder, p.folderPath);
        Folder& f = it->second;
        if (f.state == FolderState::Gone) {
            f.path = p.folderPath;
            f.state = FolderState::Wanted;
        }
        ++f.users;
        if (isNew || f.state == FolderState::Wanted) {
            foldersChanged = true;
            return true;
        }
        return f.state == FolderState::Unwatchable;
    }

    void release(const Place& p)
    {
        if (p.polled)
            return;
        auto it = folders.find(p.key.folder);
        if (it != folders.end() && --it->second.users == 0)
            foldersChanged = true;
    }

    // Enters c under what where names; all or nothing. True when the watcher
    // thread has to act before the call is fully watched (new watches, or a
    // place that is polled).
    bool attach(Call& c, Resolved where)
    {
        bool needsThread = acquire(where.own);
        Rollback undoOwn([&] { release(where.own); });
        if (where.target)
            needsThread = acquire(*where.target) || needsThread;
        Rollback undoTarget([&] {
            if (where.target)
                release(*where.target);
        });
        const Index::iterator atFile = byFile.emplace(where.file(), &c);
        Rollback undoFile([&] { byFile.erase(atFile); });
        if (where.target)
            c.atLink = byLink.emplace(where.own.key, &c);
        undoOwn.dismiss();
        undoTarget.dismiss();
        undoFile.dismiss();
        c.atFile = atFile;
        needsThread = needsThread || where.polled();
        c.where = std::move(where);
        c.watch = needsThread ? Watch::Settling : Watch::Watching;
        return needsThread;
    }

    void detach(Call& c)
    {
        if (!c.where)
            return;
        byFile.erase(c.atFile);
        if (c.where->target) {
            byLink.erase(c.atLink);
            release(*c.where->target);
        }
        release(c.where->own);
        c.where.reset();
    }

    void rememberEnded(const FileKey& key)
    {
        try {
            if (!ended.insert(key).second)
                return;
            try {
                endedOrder.push_back(key);
            } catch (...) {
                ended.erase(key);
                throw;
            }
        } catch (const std::bad_alloc&) {
            return;  // a cancel that comes just too late is then left in its file
        }
        if (endedOrder.size() > kMaxEndedPaths) {
            ended.erase(endedOrder.front());
            endedOrder.pop_front();
        }
    }

    void raiseFollowers()
    {
        for (auto& [cancel, call] : running)
            if (cancel->followsCancelFlag())
                cancel->raise(CallCancel::Cause::Cancel);
    }

    // The calls whose folder went away look their path up again.
    void loseCallsIn(const FolderId& id)
    {
        for (auto& [cancel, c] : running) {
            if (!c.where)
                continue;
            const bool inIt = c.where->own.key.folder == id || (c.where->target && c.where->target->key.folder == id);
            if (inIt) {
                detach(c);
                c.watch = Watch::Lost;
            }
        }
    }

    // The names that calls which came up to seq upTo gave for file; one path
    // for each name, as the spellings of one name lead to one file.
    std::vector<Name> namesOf(const FileKey& file, uint64_t upTo, const Name* endedName) const
    {
        std::vector<Name> names;
        for (auto [it, end] = byFile.equal_range(file); it != end; ++it) {
            const Call& c = *it->second;
            const FileKey& own = c.where->own.key;
            if (c.seq <= upTo && std::none_of(names.begin(), names.end(), [&](const Name& n) { return n.key == own; }))
                names.push_back(Name{own, c.path});
        }
        if (names.empty() && endedName && ended.count(endedName->key) > 0)
            names.push_back(*endedName);
        return names;
    }

    // A look found names holding a cancel, and removed them: gCancelFlag is
    // raised, and so are the calls that gave those names (done with the
    // file) and the calls that follow the flag.
    void takeCancel(const FileKey& file, const std::vector<Name>& names, uint64_t upTo)
    {
        auto held = [&](const FileKey& key) {
            return std::any_of(names.begin(), names.end(), [&](const Name& n) { return n.held && n.key == key; });
        };
        if (std::none_of(names.begin(), names.end(), [](const Name& n) { return n.held; }))
            return;
        gCancelFlag.store(1);
        auto [it, end] = byFile.equal_range(file);
        while (it != end) {
            Call& c = *it->second;
            ++it;  // detach erases c's entry
            if (c.seq > upTo || !held(c.where->own.key))
                continue;
            c.cancel->raise(CallCancel::Cause::Cancel);
            rememberEnded(c.where->own.key);
            detach(c);
            c.watch = Watch::None;
        }
        raiseFollowers();
    }

    // --- looks at files, no lock held -------------------------------------

    // Looks at file and takes a cancel found there. When another look at it
    // runs, that one looks once more; wait: wait for it (a call's first
    // look, and a cancel call, answer only after their file was seen).
    // endedName: the cancel call's own name, taken as an ended call's when
    // no running call names the file.
    void look(const FileKey& file, bool wait, const Name* endedName = nullptr)
    {
        std::unique_lock lock(mutex);
        try {
            auto [claim, isNew] = looking.try_emplace(file, false);
            if (!isNew) {
                claim->second = true;
                if (wait)
                    lookEnded.wait(lock, [&] { return looking.count(file) == 0 || stopping; });
                return;
            }
        } catch (const std::bad_alloc&) {
            return;  // left to the next event or tick
        }
        for (;;) {
            const uint64_t upTo = lastSeq;
            std::vector<Name> names;
            try {
                names = namesOf(file, upTo, endedName);
            } catch (const std::bad_alloc&) {
                break;
            }
            if (!names.empty()) {
                lock.unlock();
                for (Name& n : names)
                    n.held = holdsCancel(n.path);
                for (const Name& n : names)
                    if (n.held)
                        ::unlink(n.path.c_str());
                lock.lock();
                takeCancel(file, names, upTo);
            }
            auto claim = looking.find(file);
            if (!claim->second)
                break;
            claim->second = false;
        }
        looking.erase(file);
        lookEnded.notify_all();
    }

    void lookAll(std::vector<FileKey>& files)
    {
        std::sort(files.begin(), files.end());
        files.erase(std::unique(files.begin(), files.end()), files.end());
        for (const FileKey& file : files)
            look(file, false);
    }

    // --- the calls' entry and exit ------------------------------------------

    void add(CallCancel& cancel, const std::optional<std::string>& path)
    {
        // All of this call's own file-system work, before the lock.
        const bool named = path && splitWatchedPath(*path).has_value();
        std::optional<Resolved> where = named ? resolve(*path) : std::nullopt;
        std::optional<FileKey> file;
        if (where)
            file = where->file();

        bool needsThread = false;
        {
            std::lock_guard lock(mutex);
            auto [it, isNew] = running.try_emplace(&cancel);
            Call& c = it->second;
            try {
                c.cancel = &cancel;
                c.seq = ++lastSeq;
                if (named) {
                    c.path = *path;
                    if (where) {
                        needsThread = attach(c, std::move(*where));
                    } else {
                        c.watch = Watch::Lost;
                        needsThread = true;
                    }
                }
            } catch (...) {
                running.erase(it);
                throw;
            }
            if (stopped)
                cancel.raise(CallCancel::Cause::Stop);
        }
        // Before the thread is woken, so that this look is the one that
        // claims the file, and the call knows its file's state at once.
        if (file)
            look(*file, true);
        if (needsThread)
            poke();
    }

    void remove(CallCancel& cancel)
    {
        std::lock_guard lock(mutex);
        auto it = running.find(&cancel);
        if (it == running.end())
            return;
        Call& c = it->second;
        if (c.where) {
            rememberEnded(c.where->own.key);
            detach(c);
        }
        running.erase(it);
        if (foldersChanged)
            poke();
    }

    // --- the watcher thread ---------------------------------------------

    // Adds and removes the inotify watches that the folder table asks for,
    // outside the lock, and writes back what it found.
    void reconcileWatches()
    {
        std::vector<std::pair<FolderId, std::string>> toAdd;
        std::vector<int> toRemove;
        {
            std::lock_guard lock(mutex);
            if (!foldersChanged)
                return;
            for (auto it = folders.begin(); it != folders.end();) {
                if (it->second.users == 0) {
                    it = folders.erase(it);
                    continue;
                }
                if (it->second.state == FolderState::Wanted)
                    toAdd.emplace_back(it->first, it->second.path);
                ++it;
            }
            for (const auto& [id, wd] : wdOf)
                if (folders.count(id) == 0)
                    toRemove.push_back(wd);
            foldersChanged = false;
        }

        for (int wd : toRemove) {
            ::inotify_rm_watch(inotify.get(), wd);
            forgetWatch(wd);
        }
        std::vector<std::pair<FolderId, FolderState>> found;
        found.reserve(toAdd.size());
        for (const auto& [id, path] : toAdd) {
            if (!inotify) {
                found.emplace_back(id, FolderState::Unwatchable);
                continue;
            }
            const int wd = ::inotify_add_watch(inotify.get(), path.c_str(), kWatchMask);
            const int error = errno;
            // The path may name another folder by now: then this one is gone.
            const auto now = folderIdOf(path);
            if (wd >= 0 && now && *now == id) {
                found.emplace_back(id, FolderState::Watched);
                wdOf[id] = wd;
                folderOf[wd] = id;
                continue;
            }
            if (wd >= 0 && folderOf.count(wd) == 0)
                ::inotify_rm_watch(inotify.get(), wd);
            const bool gone = wd >= 0 || error == ENOENT || error == ENOTDIR;
            found.emplace_back(id, gone ? FolderState::Gone : FolderState::Unwatchable);
        }

        std::lock_guard lock(mutex);
        for (const auto& [id, state] : found) {
            auto f = folders.find(id);
            if (f == folders.end() || f->second.state != FolderState::Wanted)
                continue;
            f->second.state = state;
            if (state == FolderState::Gone)
                loseCallsIn(id);
        }
    }

    void forgetWatch(int wd)
    {
        auto f = folderOf.find(wd);
        if (f == folderOf.end())
            return;
        auto w = wdOf.find(f->second);
        if (w != wdOf.end() && w->second == wd)
            wdOf.erase(w);
        folderOf.erase(f);
    }

    // Looks the calls' paths up again without the lock, then enters each
    // call under what its path names now; a call that moved settles on the
    // next round. One that stayed and whose watches are set is Watching, and
    // its file is looked at.
    void resolveAgain(std::vector<Redo>& redo, std::vector<FileKey>& looks)
    {
        for (Redo& r : redo)
            r.where = resolve(r.path);
        std::lock_guard lock(mutex);
        for (Redo& r : redo) {
            auto it = running.find(r.cancel);
            if (it == running.end() || it->second.seq != r.seq || it->second.watch == Watch::None)
                continue;
            Call& c = it->second;
            if (c.where && r.where && c.where->sameAs(*r.where)) {
                if (c.watch == Watch::Settling && settled(*c.where)) {
                    c.watch = Watch::Watching;
                    looks.push_back(c.where->file());
                }
                continue;
            }
            detach(c);
            c.watch = Watch::Lost;
            if (r.where) {
                attach(c, std::move(*r.where));
                // Settles through this thread even where its folders are
                // watched: the file has yet to be looked at.
                c.watch = Watch::Settling;
                resettle = true;
            }
        }
    }

    void redoOf(const Call& c, std::vector<Redo>& redo) { redo.push_back(Redo{c.cancel, c.seq, c.path, std::nullopt}); }

    // Reads every queued inotify record; none when the queue overflowed.
    bool readEvents(std::vector<unsigned char>& buffer, std::vector<Event>& events, std::vector<FolderId>& gone)
    {
        bool overflow = false;
        for (;;) {
            const ssize_t n = inotify ? ::read(inotify.get(), buffer.data(), buffer.size()) : -1;
            if (n <= 0)
                break;
            forEachInotifyEvent(buffer.data(), static_cast<std::size_t>(n), [&](int wd, uint32_t mask, std::string_view name) {
                if (mask & IN_Q_OVERFLOW) {
                    overflow = true;
                    return;
                }
                auto f = folderOf.find(wd);
                if (f == folderOf.end())
                    return;
                const FolderId id = f->second;
                if (mask & kFolderGone) {
                    // Only the folder's present watch speaks for it.
                    auto w = wdOf.find(id);
                    const bool current = w != wdOf.end() && w->second == wd;
                    if (mask & IN_IGNORED)
                        forgetWatch(wd);
                    if (current)
                        gone.push_back(id);
                } else if (!name.empty()) {
                    events.push_back(Event{FileKey{id, std::string(name)}, mask});
                }
            });
        }
        return overflow;
    }

    // One round: wait, then act on events, lost and polled calls, watches
    // and new calls. False when the thread is to end.
    bool step(std::vector<unsigned char>& buffer)
    {
        using Clock = std::chrono::steady_clock;
        int timeout = -1;
        {
            std::lock_guard lock(mutex);
            if (stopping)
                return false;
            if (foldersChanged || lookUpLostNow || resettle) {
                timeout = 0;
            } else if (ticking) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextTick - Clock::now());
                timeout = static_cast<int>(std::clamp<int64_t>(left.count(), 0, kPollPeriod.count()));
            } else if (!wake) {
                timeout = static_cast<int>(kPollPeriod.count());  // nothing could wake it: it looks by itself
            }
        }
        pollfd fds[2] = {{wake.get(), POLLIN, 0}, {inotify.get(), POLLIN, 0}};
        if (::poll(fds, inotify ? 2 : 1, timeout) < 0 && errno != EINTR)
            return false;
        uint64_t drained;
        while (::read(wake.get(), &drained, sizeof drained) > 0) {
        }

        std::vector<Event> events;
        std::vector<FolderId> gone;
        const bool overflow = readEvents(buffer, events, gone);
        const auto now = Clock::now();
        const bool tick = ticking && now >= nextTick;

        // What the events and the clock ask for.
        std::vector<FileKey> looks;
        std::vector<Redo> redo;
        {
            std::lock_guard lock(mutex);
            if (stopping)
                return false;
            for (const FolderId& id : gone) {
                auto f = folders.find(id);
                if (f != folders.end())
                    f->second.state = FolderState::Gone;
                loseCallsIn(id);
            }
            for (const Event& e : events) {
                if (byFile.count(e.key) > 0)
                    looks.push_back(e.key);
                if ((e.mask & kNameMadeAnew) == 0)
                    continue;
                for (auto [it, end] = byFile.equal_range(e.key); it != end; ++it)
                    if (it->second->where->own.key == e.key)
                        redoOf(*it->second, redo);
                for (auto [it, end] = byLink.equal_range(e.key); it != end; ++it)
                    redoOf(*it->second, redo);
            }
            const bool lookUpLost = tick || lookUpLostNow;
            lookUpLostNow = false;
            for (const auto& [cancel, c] : running) {
                // Events may be lost with the overflow: every path looked up again.
                if ((c.watch == Watch::Lost && lookUpLost) || (overflow && c.where))
                    redoOf(c, redo);
                if (overflow && c.where)
                    looks.push_back(c.where->file());
            }
        }
        resolveAgain(redo, looks);
        reconcileWatches();

        // Calls whose watches are set look their path up once more (it may
        // have changed before the watches were there), then get their first
        // look; polled calls get one each kPollPeriod.
        std::vector<Redo> settling;
        {
            std::lock_guard lock(mutex);
            resettle = false;
            bool anyPolled = false;
            for (auto& [cancel, c] : running) {
                if (c.watch == Watch::Lost) {
                    anyPolled = true;
                    continue;
                }
                if (!c.where)
                    continue;
                const bool polled = c.where->polled() || folderState(c.where->own) == FolderState::Unwatchable ||
                                    (c.where->target && folderState(*c.where->target) == FolderState::Unwatchable);
                anyPolled = anyPolled || polled;
                if (c.watch == Watch::Settling && settled(*c.where))
                    redoOf(c, settling);
                else if (polled && tick)
                    looks.push_back(c.where->file());
            }
            if (tick || !ticking)
                nextTick = now + kPollPeriod;
            ticking = anyPolled;
        }
        resolveAgain(settling, looks);
        lookAll(looks);
        return true;
    }

    std::optional<FolderState> folderState(const Place& p) const
    {
        if (p.polled)
            return std::nullopt;
        auto f = folders.find(p.key.folder);
        return f == folders.end() ? std::nullopt : std::optional<FolderState>(f->second.state);
    }

    bool settled(const Resolved& where) const
    {
        auto ready = [&](const Place& p) { return folderState(p) != FolderState::Wanted; };
        return ready(where.own) && (!where.target || ready(*where.target));
    }

    void run()
    {
        std::vector<unsigned char> buffer;
        for (;;) {
            try {
                if (buffer.empty())
                    buffer.resize(16 * (sizeof(inotify_event) + NAME_MAX + 1));
                if (!step(buffer))
                    return;
            } catch (...) {
                // Memory ran short; the tables are whole. Try again a
                // period later.
                pollfd p{wake.get(), POLLIN, 0};
                ::poll(&p, 1, static_cast<int>(kPollPeriod.count()));
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
    impl_->lookEnded.notify_all();
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
    const auto where = resolve(path);
    if (where) {
        const Impl::Name name{where->own.key, path};
        impl_->look(where->file(), true, &name);
    }
    // The path may lead to a call whose folder was made again, not yet
    // looked up: the watcher thread does that now, and looks at its file.
    const std::lock_guard lock(impl_->mutex);
    const bool anyLost = std::any_of(impl_->running.begin(), impl_->running.end(),
                                     [](const auto& r) { return r.second.watch == Impl::Watch::Lost; });
    if (anyLost) {
        impl_->lookUpLostNow = true;
        impl_->poke();
    }
}

void CancelWatcher::stopAll()
{
    const std::lock_guard lock(impl_->mutex);
    impl_->stopped = true;
    for (auto& [cancel, call] : impl_->running)
        cancel->raise(CallCancel::Cause::Stop);
}

std::size_t CancelWatcher::watchedCount() const
{
    const std::lock_guard lock(impl_->mutex);
    std::size_t count = 0;
    for (auto it = impl_->byFile.begin(); it != impl_->byFile.end(); it = impl_->byFile.upper_bound(it->first))
        ++count;
    for (const auto& [cancel, call] : impl_->running)
        if (call.watch == Impl::Watch::Lost)
            ++count;
    return count;
}

bool CancelWatcher::isWatched(const std::string& path) const
{
    const auto where = resolve(path);
    const std::lock_guard lock(impl_->mutex);
    if (where && impl_->byFile.count(where->file()) > 0)
        return true;
    return std::any_of(impl_->running.begin(), impl_->running.end(), [&](const auto& r) {
        return r.second.watch == Impl::Watch::Lost && r.second.path == path;
    });
}
