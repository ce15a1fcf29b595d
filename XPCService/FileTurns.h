#pragma once
// Turns at writing a file, within the process: one writer at a time of a file
// (device and inode) or of a name in a folder, the others waiting in the
// order they came. Writers of different files never wait for each other. No
// I/O here; the advisory lock that other programs see is taken by the writer
// once it has its turn.

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

class FileTurns {
public:
    // A file (device and inode, name empty), or a name in a folder (the
    // folder's device and inode, and the name).
    struct Key {
        dev_t device = 0;
        ino_t inode = 0;
        std::string name;
        bool operator<(const Key& other) const
        {
            return std::tie(device, inode, name) < std::tie(other.device, other.inode, other.name);
        }
    };

    // A writer's turn; ends when this object does.
    class Turn {
    public:
        Turn(Turn&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)), key_(std::move(other.key_)) {}
        Turn& operator=(Turn&&) = delete;
        Turn(const Turn&) = delete;
        ~Turn();

    private:
        friend class FileTurns;
        Turn(FileTurns& owner, Key key) : owner_(&owner), key_(std::move(key)) {}
        FileTurns* owner_;
        Key key_;
    };

    FileTurns() = default;
    FileTurns(const FileTurns&) = delete;
    FileTurns& operator=(const FileTurns&) = delete;

    // Waits for the turn at file key; none once stop() was called, also for
    // a writer that was waiting then.
    std::optional<Turn> take(const Key& key);

    // Ends every wait and refuses every turn from now on.
    void stop();

    // Writers holding or waiting for a turn at key.
    std::size_t writers(const Key& key) const;

private:
    // Tickets in the order writers came; writers counts the holder and those
    // waiting, so a queue goes with its last writer, served or not.
    struct Queue {
        uint64_t nextTicket = 0;
        uint64_t serving = 0;
        std::size_t writers = 0;
    };
    void release(const Key& key);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<Key, Queue> queues_;  // only files with a writer
    bool stopped_ = false;
};
