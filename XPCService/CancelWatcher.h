#pragma once
// One watcher thread serves every cancel file of the process: each watched
// path is polled every 20 ms; a path found holding a non-empty regular file
// raises gCancelFlag to 1, the file is removed and the path is no longer
// watched. Paths stay watched after their call has answered; a missing or
// unreadable path counts as no cancel yet.

#include <cstddef>
#include <string>

class CancelWatcher {
public:
    CancelWatcher();
    ~CancelWatcher();  // stops and joins the watcher thread
    CancelWatcher(const CancelWatcher&) = delete;
    CancelWatcher& operator=(const CancelWatcher&) = delete;

    // Adds a path (again: refreshes it). At most kMaxPaths distinct paths are
    // watched; beyond that the oldest is dropped.
    void watch(const std::string& path);

    // How many paths are watched now, and whether path is one of them.
    std::size_t watchedCount() const;
    bool isWatched(const std::string& path) const;

    static constexpr std::size_t kMaxPaths = 1024;

private:
    struct Impl;
    Impl* impl_;
};
