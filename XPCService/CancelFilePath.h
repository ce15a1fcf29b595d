#pragma once
// What a cancel file's path names, whatever its spelling: a name in a folder
// known by its device and inode, and, where a symbolic link sits there, the
// place of the link's last target. Looked up before any lock is taken (it may
// take long on a network file system). Also the inotify record walk.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

// A folder by what it is, whatever path spelled it.
struct FolderId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator<(const FolderId& o) const { return std::tie(dev, ino) < std::tie(o.dev, o.ino); }
    bool operator==(const FolderId& o) const { return dev == o.dev && ino == o.ino; }
};

// What a cancel path names: a name in a folder.
struct FileKey {
    FolderId folder;
    std::string name;
    bool operator<(const FileKey& o) const { return std::tie(folder, name) < std::tie(o.folder, o.name); }
    bool operator==(const FileKey& o) const { return folder == o.folder && name == o.name; }
};

// Where one name sits.
struct Place {
    FileKey key;
    std::string folderPath;  // a spelling of the folder, for inotify_add_watch
    bool polled = false;     // its file system gives no events
};

// What a cancel path names now: its own place and, when a symbolic link sits
// there, the place of the link's last target, where a byte is written.
struct Resolved {
    Place own;
    std::optional<Place> target;
    const FileKey& file() const { return target ? target->key : own.key; }
    bool polled() const { return own.polled || (target && target->polled); }
    bool sameAs(const Resolved& o) const
    {
        return own.key == o.own.key && target.has_value() == o.target.has_value() &&
               (!target || target->key == o.target->key);
    }
};

// The folder's identity; none when it is gone or not a folder.
std::optional<FolderId> folderIdOf(const std::string& folder);

// Looks path up: none when its folder cannot be (gone, or not a folder). A
// chain of links is followed to its last target; only the first link and
// that target are watched, so re-pointing a link in the middle goes unseen.
std::optional<Resolved> resolve(const std::string& path);

// The folder to watch for path and the name the file has in it ("a/b" gives
// "a" and "b", "b" gives "." and "b", "/b" gives "/" and "b"); none when path
// ends in "/" or names no file (empty, ".", "..", or holding a NUL byte).
struct WatchedName {
    std::string folder;
    std::string name;
};
std::optional<WatchedName> splitWatchedPath(std::string_view path);

// Where a symbolic link at linkPath that holds target leads: target itself
// when it is absolute, else target read from the link's folder ("a/l" holding
// "t" gives "a/t", "l" gives "./t", "/l" gives "/t").
std::string linkTargetPath(std::string_view linkPath, std::string_view target);

// Walks the inotify records in buffer, calling each(wd, mask, name) with the
// name cut at its first NUL. Stops at a record that does not fit; answers how
// many records were read whole.
std::size_t forEachInotifyEvent(const unsigned char* buffer, std::size_t size,
                                const std::function<void(int, uint32_t, std::string_view)>& each);
