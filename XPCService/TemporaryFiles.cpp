#include "TemporaryFiles.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

namespace {

// The same shape as mkstemp's names, six letters or digits, but made here:
// the file is made relative to the folder's descriptor, which mkstemp cannot.
std::string randomSuffix()
{
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[6] = {};
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // No entropy yet: the clock still makes a clash unlikely, and a clash
        // only costs another try.
        auto ticks = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
        for (unsigned char& b : bytes) {
            b = static_cast<unsigned char>(ticks);
            ticks = ticks * 6364136223846793005ULL + 1442695040888963407ULL;
        }
    }
    std::string suffix;
    for (unsigned char b : bytes)
        suffix += kLetters[b % (sizeof kLetters - 1)];
    return suffix;
}

constexpr int kMaxNameTries = 100;

}  // namespace

TemporaryFiles::File::File(TemporaryFiles& owner, Folder folder, std::string name, UniqueFd fd, uint64_t id)
    : owner_(&owner), folder_(std::move(folder)), name_(std::move(name)), fd_(std::move(fd)), id_(id)
{
}

TemporaryFiles::File::File(File&& other) noexcept
    : owner_(std::exchange(other.owner_, nullptr)),
      folder_(std::move(other.folder_)),
      name_(std::move(other.name_)),
      fd_(std::move(other.fd_)),
      id_(other.id_)
{
}

TemporaryFiles::File::~File()
{
    if (owner_ == nullptr)
        return;
    // Off the list first: a stop that runs meanwhile removes the name once
    // more, which finds nothing.
    owner_->forget(id_);
    ::unlinkat(folder_->get(), name_.c_str(), 0);
}

bool TemporaryFiles::File::renameOver(const std::string& target, bool noReplace)
{
    const int dir = folder_->get();
    int result = 0;
    if (!noReplace) {
        result = ::renameat(dir, name_.c_str(), dir, target.c_str());
    } else {
        result = ::renameat2(dir, name_.c_str(), dir, target.c_str(), RENAME_NOREPLACE);
        if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // The file system cannot rename without replacing; a hard link is
            // refused over an existing name just the same, and where there
            // are no hard links either, the plain rename is what is left.
            if (::linkat(dir, name_.c_str(), dir, target.c_str(), 0) == 0) {
                ::unlinkat(dir, name_.c_str(), 0);
                result = 0;
            } else if (errno != EEXIST) {
                result = ::renameat(dir, name_.c_str(), dir, target.c_str());
            }
        }
    }
    if (result != 0)
        return false;
    owner_->forget(id_);
    owner_ = nullptr;
    return true;
}

std::optional<TemporaryFiles::File> TemporaryFiles::create(const Folder& folder, const std::string& base, mode_t mode)
{
    for (int attempt = 0; attempt < kMaxNameTries; ++attempt) {
        if (stopped()) {
            errno = ECANCELED;
            return std::nullopt;
        }
        std::string name = "." + base.substr(0, 200) + "." + randomSuffix();
        UniqueFd fd(::openat(folder->get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
        if (!fd) {
            if (errno == EEXIST || errno == EINTR)
                continue;
            return std::nullopt;
        }
        // The mask does not narrow what the caller asked for.
        ::fchmod(fd.get(), mode);

        // Listed only once it exists, so a stop never removes a name that
        // some other file holds; a stop that came meanwhile is seen here.
        bool listed = false;
        uint64_t id = 0;
        try {
            std::lock_guard lock(mutex_);
            if (!stopped_.load()) {
                id = nextId_++;
                files_.emplace(id, Entry{folder, name});
                listed = true;
            }
        } catch (...) {
            listed = false;
        }
        if (!listed) {
            ::unlinkat(folder->get(), name.c_str(), 0);
            errno = ECANCELED;
            return std::nullopt;
        }
        return File(*this, folder, std::move(name), std::move(fd), id);
    }
    errno = EEXIST;
    return std::nullopt;
}

void TemporaryFiles::stop()
{
    std::map<uint64_t, Entry> left;
    {
        std::lock_guard lock(mutex_);
        stopped_.store(true);
        left.swap(files_);
    }
    // The writes that own these files may still be writing them; their
    // descriptors stay valid, and a rename of a name that is gone fails.
    for (const auto& [id, entry] : left)
        ::unlinkat(entry.folder->get(), entry.name.c_str(), 0);
}

std::size_t TemporaryFiles::count() const
{
    std::lock_guard lock(mutex_);
    return files_.size();
}

void TemporaryFiles::forget(uint64_t id)
{
    std::lock_guard lock(mutex_);
    files_.erase(id);
}

TemporaryFiles& temporaryFiles()
{
    // Never destroyed: a write still running when the process ends must not
    // find its list gone.
    static TemporaryFiles* const files = new TemporaryFiles;
    return *files;
}
