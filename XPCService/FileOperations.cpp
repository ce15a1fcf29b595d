#include "FileOperations.h"

#include "Text.h"
#include "UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace {

constexpr mode_t kCreatedMode = 0664;
constexpr mode_t kCreationMask = 002;

// O_NONBLOCK keeps a pipe or a terminal at the path from holding the call;
// it changes nothing for regular files.
constexpr int kOpenFlags = O_RDWR | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// The probe holds its path in 256 bytes with the terminating zero.
constexpr std::size_t kMaxProbePathBytes = 255;

bool usablePath(const std::string& path) { return !path.empty() && path.find('\0') == std::string::npos; }

int openRetrying(const char* path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

struct Opened {
    UniqueFd fd;
    bool created = false;
};

// Opens the file at path for reading and writing in append mode, creating it
// if it does not exist. Whether this call created it is learnt from an
// exclusive create, never from an earlier look at the path, so a file that
// someone else creates in between is never taken for ours. A file we create
// gets 0664 whatever the process's mask is by then.
Opened openCreatingOrExisting(const std::string& path)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        UniqueFd fd(openRetrying(path.c_str(), kOpenFlags | O_CREAT | O_EXCL, kCreatedMode));
        if (fd) {
            ::fchmod(fd.get(), kCreatedMode);
            return {std::move(fd), true};
        }
        if (errno != EEXIST)
            return {};
        fd.reset(openRetrying(path.c_str(), kOpenFlags));
        if (fd)
            return {std::move(fd), false};
        // ENOENT here: removed between the two opens, or a dangling link,
        // which is refused after the last attempt.
        if (errno != ENOENT)
            return {};
    }
    return {};
}

std::string parentOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Follows symbolic links at the end of path (as many as the kernel would) to
// the file that a write through path reaches; that file need not exist yet.
std::optional<std::string> resolveFinalLinks(std::string path)
{
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0)
            return errno == ENOENT ? std::optional<std::string>(path) : std::nullopt;
        if (!S_ISLNK(st.st_mode))
            return path;
        std::vector<char> target(PATH_MAX + 1);
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= target.size())
            return std::nullopt;
        const std::string link(target.data(), static_cast<std::size_t>(n));
        path = link[0] == '/' ? link : parentOf(path) + "/" + link;
    }
    return std::nullopt;
}

bool writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Removes the temporary file unless it has been renamed into place.
class TempFile {
public:
    explicit TempFile(std::string path) : path_(std::move(path)) {}
    ~TempFile()
    {
        if (!path_.empty())
            ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }
    void keep() { path_.clear(); }

private:
    std::string path_;
};

// Writes data through the open file itself, freshly opened and so at its
// start, then cuts it to the data's length. Its owner, group and links stay;
// a failure part-way leaves mixed contents, which is why the replace is
// preferred where it is sound.
bool writeInPlace(int fd, std::string_view data)
{
    return writeAll(fd, data) && ::ftruncate(fd, static_cast<off_t>(data.size())) == 0 && ::fsync(fd) == 0;
}

}  // namespace

bool isFilePathWritable_XPC(const std::string& path)
{
    if (path.size() > kMaxProbePathBytes || !usablePath(path) || !isValidUtf8(path))
        return false;
    ::umask(kCreationMask);
    Opened opened = openCreatingOrExisting(path);
    if (!opened.fd)
        return false;
    if (opened.created) {
        // Remove exactly the file that the probe made: if the path has been
        // replaced since, the other file stays.
        struct stat made {};
        const bool known = ::fstat(opened.fd.get(), &made) == 0;
        opened.fd.reset();
        struct stat now {};
        if (known && ::lstat(path.c_str(), &now) == 0 && now.st_dev == made.st_dev && now.st_ino == made.st_ino)
            ::unlink(path.c_str());
    }
    return true;
}

bool writeDictionaryToPlistFile_XPC(const std::optional<FileUrl>& url, std::string_view data)
{
    if (!url || !usablePath(url->path))
        return false;
    ::umask(kCreationMask);
    const auto target = resolveFinalLinks(url->path);
    if (!target)
        return false;

    // An existing file is written only if the caller may open it for writing,
    // whatever its folder allows; the open also keeps it for a write in place.
    mode_t mode = kCreatedMode;
    struct stat existing {};
    UniqueFd file;
    const bool exists = ::stat(target->c_str(), &existing) == 0;
    if (exists) {
        if (!S_ISREG(existing.st_mode))
            return false;
        mode = existing.st_mode & 07777;
        file.reset(openRetrying(target->c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        if (!file)
            return false;
        if (existing.st_nlink > 1)
            return writeInPlace(file.get(), data);
    }

    const std::size_t slash = target->rfind('/');
    const std::string folder = parentOf(*target);
    const std::string base = slash == std::string::npos ? *target : target->substr(slash + 1);
    if (base.empty())
        return false;
    // Short enough that a name at the length limit still leaves room.
    std::string pattern = folder + "/." + base.substr(0, 200) + ".XXXXXX";
    const UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd)
        return exists && writeInPlace(file.get(), data);
    TempFile temp(pattern);

    if (::fchmod(fd.get(), mode) != 0)
        return false;
    if (exists) {
        // Only root may give the new file another owner; where it ends up
        // with an owner or group the old file did not have, the rename would
        // change who owns the caller's data, so the file is written in place.
        [[maybe_unused]] const int ignored = ::fchown(fd.get(), existing.st_uid, existing.st_gid);
        struct stat made {};
        if (::fstat(fd.get(), &made) != 0)
            return false;
        if (made.st_uid != existing.st_uid || made.st_gid != existing.st_gid)
            return writeInPlace(file.get(), data);
    }
    if (!writeAll(fd.get(), data) || ::fsync(fd.get()) != 0)
        return false;
    if (::rename(temp.path().c_str(), target->c_str()) != 0)
        return false;
    temp.keep();

    // The rename itself reaches the disk with the folder.
    const UniqueFd dir(openRetrying(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        ::fsync(dir.get());
    return true;
}

bool touchCancelFile(const std::string& path)
{
    if (!usablePath(path))
        return false;
    ::umask(kCreationMask);
    return openCreatingOrExisting(path).fd.valid();
}

bool appendCancelByte(const std::optional<std::string>& path)
{
    if (!path || !usablePath(*path))
        return false;
    ::umask(kCreationMask);
    const UniqueFd fd(openRetrying(path->c_str(), kOpenFlags));
    if (!fd)
        return false;
    const unsigned char cancelByte = 0x01;
    ssize_t written = ::write(fd.get(), &cancelByte, 1);
    if (written < 0)
        written = ::write(fd.get(), &cancelByte, 1);
    return written == 1;
}
