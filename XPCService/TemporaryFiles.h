#pragma once
// The temporary files that property-list writes hold open, so that a stop can
// remove every one of them at any moment: a file renamed into place is no
// longer one, a file of a write that failed is removed by that write, and
// those of writes still running when the service stops are removed by stop().
// From the stop on, no new temporary file is made.
//
// The lock guards the list only; files are made and removed outside it, so
// one slow folder never holds up another write.

#include "UniqueFd.h"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class TemporaryFiles {
public:
    using Folder = std::shared_ptr<const UniqueFd>;

    // One temporary file ".<base>.XXXXXX" in a folder, open for reading and
    // writing. Removed when this object ends unless renamed into place.
    class File {
    public:
        File(File&& other) noexcept;
        File& operator=(File&&) = delete;
        File(const File&) = delete;
        ~File();

        int fd() const { return fd_.get(); }
        const std::string& name() const { return name_; }

        // Renames the file over target in its folder. With noReplace, an
        // existing target is left alone and the rename fails with EEXIST.
        // False (errno set) when the rename failed; the file is then still
        // this object's. After a stop the file may be gone, and so the rename.
        bool renameOver(const std::string& target, bool noReplace);

    private:
        friend class TemporaryFiles;
        File(TemporaryFiles& owner, Folder folder, std::string name, UniqueFd fd, uint64_t id);

        TemporaryFiles* owner_;
        Folder folder_;
        std::string name_;
        UniqueFd fd_;
        uint64_t id_;
    };

    TemporaryFiles() = default;
    TemporaryFiles(const TemporaryFiles&) = delete;
    TemporaryFiles& operator=(const TemporaryFiles&) = delete;

    // Makes a new file ".<base>.XXXXXX" (base cut to 200 bytes) in folder with
    // the permission bits mode. None after a stop, or when the folder takes no
    // new file (errno set).
    std::optional<File> create(const Folder& folder, const std::string& base, mode_t mode);

    // Removes every file still listed and refuses new ones from now on.
    void stop();
    bool stopped() const { return stopped_.load(); }

    // How many files are listed now.
    std::size_t count() const;

private:
    struct Entry {
        Folder folder;
        std::string name;
    };
    void forget(uint64_t id);

    mutable std::mutex mutex_;
    std::map<uint64_t, Entry> files_;
    uint64_t nextId_ = 0;
    std::atomic<bool> stopped_{false};
};

// The process's one list, which the service's stop empties.
TemporaryFiles& temporaryFiles();
