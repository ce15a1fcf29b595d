#pragma once
// The cancel files of the running SNMP reads, and the interrupts of every
// running network call. While a read names a cancel file, one thread stats
// each distinct path every kPollPeriod, anew each time (so spellings, links,
// hard links and folders made again need nothing of their own); paths that
// lead to one device and inode are one file. A non-empty regular file cancels
// the reads that named it, raises gCancelFlag (and the reads that follow it)
// and loses those names. With no such read the thread sleeps without a time-out.

#include "CallCancel.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class CancelWatcher {
public:
    // Starts the watcher thread; throws std::system_error when no thread can
    // be made, and std::bad_alloc.
    CancelWatcher();
    ~CancelWatcher();  // stops and joins the watcher thread
    CancelWatcher(const CancelWatcher&) = delete;
    CancelWatcher& operator=(const CancelWatcher&) = delete;

    // A running call, known to the watcher for the life of this object; a
    // cancel file already non-empty cancels it at once. The constructor
    // throws only std::bad_alloc (the call is then not known).
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

    // A cancel byte was appended to path: its file's reads are cancelled now,
    // not at the next sweep. A file whose reads have all answered is taken
    // as theirs, so a cancel that comes just too late never cancels the next
    // read of that file; one that no read named is left alone.
    void cancelWritten(const std::string& path);

    // The service stops: every running call is interrupted, and every later one.
    void stopAll();

    static constexpr std::chrono::milliseconds kPollPeriod{20};
    // Names of ended reads remembered for cancelWritten, oldest forgotten first.
    static constexpr std::size_t kMaxEndedPaths = 1024;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
