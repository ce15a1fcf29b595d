#pragma once
// One watcher thread serves every cancel file of the process: each watched
// path is polled (every 20 ms, sooner on inotify); a path found non-empty
// raises gCancelFlag to 1 and is removed. Paths stay watched after their call
// has answered; a missing or unreadable path counts as no cancel yet.

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

    static constexpr std::size_t kMaxPaths = 1024;

private:
    struct Impl;
    Impl* impl_;
};
