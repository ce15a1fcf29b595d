#pragma once
// The cancel files of the running SNMP reads, and the interrupts of every
// running network call. A path is watched only while a read that named it
// runs: through inotify on its folder, or by a stat every 20 ms where the file
// system gives no events. When a watched file is found non-empty (a regular
// file only), gCancelFlag is raised to 1, the reads that named that file are
// cancelled, the file is removed, and so are the reads that follow
// gCancelFlag (cancel flag "NULL"). Idle, the watcher thread sleeps in poll.

#include "CallCancel.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class CancelWatcher {
public:
    CancelWatcher();
    ~CancelWatcher();  // stops and joins the watcher thread
    CancelWatcher(const CancelWatcher&) = delete;
    CancelWatcher& operator=(const CancelWatcher&) = delete;

    // A running call, known to the watcher for the life of this object. Its
    // cancel file, if any, is watched meanwhile; a file already non-empty
    // cancels the call at once.
    class Running {
    public:
        Running(CancelWatcher& watcher, CallCancel& cancel, const std::optional<std::string>& cancelFile);
        ~Running();
        Running(const Running&) = delete;
        Running& operator=(const Running&) = delete;

    private:
        CancelWatcher& watcher_;
        CallCancel& cancel_;
    };

    // Stores a request's cancel flag in gCancelFlag; a non-zero value also
    // interrupts the running calls that follow the flag.
    void storeCancelFlag(int32_t value);

    // A cancel byte was appended to path. A file that a read watched and
    // whose reads have all answered is taken as their watcher took it: the
    // flag is raised for the reads that follow it and the file removed, so a
    // cancel that comes just too late never cancels the next read of that
    // file. Paths not watched before are left alone.
    void cancelWritten(const std::string& path);

    // The service stops: every running call is interrupted, and so is every
    // call that starts from now on.
    void stopAll();

    // How many paths are watched now, and whether path is one of them.
    std::size_t watchedCount() const;
    bool isWatched(const std::string& path) const;

    static constexpr std::chrono::milliseconds kPollPeriod{20};
    // How many paths of ended reads are remembered for cancelWritten; the
    // oldest is forgotten first.
    static constexpr std::size_t kMaxEndedPaths = 1024;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// --- path and event handling, exposed for tests and fuzzing -----------------

// The folder to watch for path and the name the file has in it ("a/b" gives
// "a" and "b", "b" gives "." and "b", "/b" gives "/" and "b"); none when path
// ends in "/" or names no file (empty, ".", "..", or holding a NUL byte).
struct WatchedName {
    std::string folder;
    std::string name;
};
std::optional<WatchedName> splitWatchedPath(std::string_view path);

// Walks the inotify records in buffer, calling each(wd, mask, name) with the
// name cut at its first NUL. Stops at a record that does not fit; answers how
// many records were read whole.
std::size_t forEachInotifyEvent(const unsigned char* buffer, std::size_t size,
                                const std::function<void(int, uint32_t, std::string_view)>& each);
