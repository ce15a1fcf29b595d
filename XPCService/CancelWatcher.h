#pragma once
// The cancel files of the running SNMP reads, and the interrupts of every
// running network call. A cancel file is known by what its path names: the
// folder's device and inode plus the name in it, so every spelling of one
// file ("/tmp/x/b", "/tmp/x/./b", "x/b", a path through a linked folder) is
// one file, and one byte cancels every read that named it. A file is watched
// only while a read that named it runs: through inotify on its folder (and,
// for a symbolic link, on its last target's folder too; a link made anew
// while its read runs is followed to its new target), or by a stat every
// 20 ms where the file system gives no events or the folder has gone away
// (a folder made again is found again). When a watched file is found
// non-empty (a regular file only), gCancelFlag is raised to 1, the reads that
// named that file are cancelled, the name they gave is removed (for a link,
// the link), and so are the reads that follow gCancelFlag (cancel flag
// "NULL"). Idle, the watcher thread sleeps in poll.

#include "CallCancel.h"
#include "CancelFilePath.h"

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
    // Starts the watcher thread; throws std::system_error when no thread can
    // be made, and std::bad_alloc.
    CancelWatcher();
    ~CancelWatcher();  // stops and joins the watcher thread
    CancelWatcher(const CancelWatcher&) = delete;
    CancelWatcher& operator=(const CancelWatcher&) = delete;

    // A running call, known to the watcher for the life of this object. Its
    // cancel file, if any, is watched meanwhile; a file already non-empty
    // cancels the call at once. The constructor throws only std::bad_alloc,
    // and then the call is not known; the destructor never throws.
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
    // file. Paths not watched before are left alone. Any spelling of the file
    // finds it.
    void cancelWritten(const std::string& path);

    // The service stops: every running call is interrupted, and so is every
    // call that starts from now on.
    void stopAll();

    // How many files are watched now, and whether a byte written to path
    // would be seen (any spelling of a watched file, or its link's target).
    std::size_t watchedCount() const;
    bool isWatched(const std::string& path) const;

    static constexpr std::chrono::milliseconds kPollPeriod{20};
    // How many names of ended reads are remembered for cancelWritten; the
    // oldest is forgotten first.
    static constexpr std::size_t kMaxEndedPaths = 1024;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
