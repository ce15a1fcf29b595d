#include "FileOperations.h"

#include "FileTurns.h"
#include "TemporaryFiles.h"
#include "Text.h"
#include "UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr mode_t kCreatedMode = 0664;
constexpr mode_t kCreationMask = 002;

// O_NONBLOCK keeps a pipe or a terminal at the path from holding the call;
// it changes nothing for regular files.
constexpr int kOpenFlags = O_RDWR | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// The probe holds its path in 256 bytes with the terminating zero.
constexpr std::size_t kMaxProbePathBytes = 255;

// Another program's advisory lock is waited for this long; the writes of
// this process wait for each other in turn, as long as it takes.
constexpr auto kMaxLockWait = std::chrono::seconds(5);

// An in-place write keeps a copy of the old text to put back should it fail
// half-way. A request carries at most one D-Bus message (128 MiB); an old text
// longer than that is refused rather than copied into memory.
constexpr std::size_t kMaxKeptOldBytes = std::size_t{128} << 20;

// The data go to a temporary file in pieces, so a stop is seen between them.
constexpr std::size_t kWritePiece = std::size_t{1} << 20;

// How often a write starts over because the path changed under it.
constexpr int kMaxAttempts = 8;

// File systems whose files are the kernel's settings and interfaces, not
// texts to keep: writing one changes the system, and size, truncation and
// rename mean nothing there (a write to /proc/sys lands though the truncate
// after it fails). statfs f_type values of the kernel.
constexpr uint32_t kPseudoFileSystems[] = {
    0x00009fa0,  // proc
    0x62656572,  // sysfs
    0x64626720,  // debugfs
    0x74726163,  // tracefs
    0x0027e0eb,  // cgroup
    0x63677270,  // cgroup2
    0x73636673,  // securityfs
    0x6165676c,  // pstore
    0xcafe4a11,  // bpf
    0x62656570,  // configfs
    0xde5e81e4,  // efivarfs
    0x65735543,  // fusectl
    0x42494e4d,  // binfmt_misc
    0xf97cff8c,  // selinuxfs
    0x43415d53,  // smackfs
    0x07655821,  // resctrl
    0x19800202,  // mqueue
    0x6c6f6f70,  // binderfs
    0x00009fa2,  // usbdevfs
    0x00009fa1,  // openpromfs
    0xabba1974,  // xenfs
    0x6e736673,  // nsfs
    0x958458f6,  // hugetlbfs: its files take no write(2)
    0x00001cd1,  // devpts
    0x6e667364,  // nfsd
    0x67596969,  // rpc_pipefs
};

bool usablePath(const std::string& path) { return !path.empty() && path.find('\0') == std::string::npos; }

int openRetrying(int dir, const char* path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::openat(dir, path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Whether fd (O_PATH too) lies on a pseudo-file system; one that cannot be
// asked counts as one.
bool onPseudoFileSystem(int fd)
{
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0)
        return true;
    const auto type = static_cast<uint32_t>(fs.f_type);
    return std::find(std::begin(kPseudoFileSystems), std::end(kPseudoFileSystems), type) !=
           std::end(kPseudoFileSystems);
}

// What a file operation may open for writing: a regular file on a file
// system that keeps data. fd may be O_PATH, which opened nothing.
bool isOrdinaryFile(int fd, struct stat& st)
{
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && !onPseudoFileSystem(fd);
}

// Opens the file that the O_PATH descriptor node holds anew, with flags,
// through /proc/self/fd: the same inode, whatever its path names by now, so
// nothing but the file that was looked at is ever opened for writing.
// Without /proc, the path (dir, name) is opened and must still lead to the
// same inode (st); then a device swapped in between would be opened.
UniqueFd reopen(int node, const struct stat& st, int dir, const char* name, int flags)
{
    const std::string self = "/proc/self/fd/" + std::to_string(node);
    UniqueFd fd(openRetrying(AT_FDCWD, self.c_str(), flags));
    if (fd || errno != ENOENT || ::access("/proc/self/fd", F_OK) == 0)
        return fd;
    fd.reset(openRetrying(dir, name, flags));
    struct stat now {};
    if (fd && (::fstat(fd.get(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)) {
        fd.reset();
        errno = EAGAIN;
    }
    return fd;
}

std::string parentOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string nameOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The folder that path's last name lies in, for making a file there; none
// when it cannot be opened or is on a pseudo-file system.
std::shared_ptr<const UniqueFd> openFolderToCreateIn(const std::string& path)
{
    auto folder = std::make_shared<const UniqueFd>(
        openRetrying(AT_FDCWD, parentOf(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!*folder || onPseudoFileSystem(folder->get()))
        return nullptr;
    return folder;
}

struct Opened {
    UniqueFd fd;
    bool created = false;
};

// Opens the regular file at path for reading and writing in append mode,
// creating it (0664, whatever the process's mask is by then) if there is
// none. Whether this call created it is learnt from an exclusive create, so a
// file that someone else creates in between is never taken for ours. What is
// there is looked at before it is opened for writing: anything but a regular
// file on an ordinary file system is refused, and nothing is made in a
// folder on a pseudo-file system.
Opened openOrdinaryCreating(const std::string& path)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const UniqueFd node(openRetrying(AT_FDCWD, path.c_str(), O_PATH | O_CLOEXEC));
        if (node) {
            struct stat st {};
            if (!isOrdinaryFile(node.get(), st))
                return {};
            return {reopen(node.get(), st, AT_FDCWD, path.c_str(), kOpenFlags), false};
        }
        if (errno != ENOENT)
            return {};
        const std::string name = nameOf(path);
        if (name.empty())
            return {};
        const auto folder = openFolderToCreateIn(path);
        if (!folder)
            return {};
        UniqueFd fd(openRetrying(folder->get(), name.c_str(), kOpenFlags | O_CREAT | O_EXCL, kCreatedMode));
        if (fd) {
            ::fchmod(fd.get(), kCreatedMode);
            return {std::move(fd), true};
        }
        // EEXIST: made by someone else since the look, or a dangling link,
        // which is refused after the last attempt.
        if (errno != EEXIST)
            return {};
    }
    return {};
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

// The process's writes: their turns at each file and their temporary files.
// Never destroyed, since a write may still run while the process ends.
FileTurns& fileTurns()
{
    static FileTurns* const turns = new FileTurns;
    return *turns;
}

bool fileWritesStopped() { return temporaryFiles().stopped(); }

// Takes the advisory write lock on the whole file that other programs' locks
// respect (an open file description lock, which conflicts with their record
// locks as well). Tried rather than waited for in the kernel, so that a stop
// ends the wait and a program that never lets go costs kMaxLockWait and a
// "FALSE", not a call that is never answered. A file system without locks
// has nothing to wait for; the writes of this process still take turns.
bool lockForWriting(int fd)
{
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const auto deadline = Clock::now() + kMaxLockWait;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (::fcntl(fd, F_OFD_SETLK, &lock) == 0)
            return true;
        if (errno == ENOLCK || errno == EINVAL || errno == EOPNOTSUPP)
            return true;
        if ((errno != EAGAIN && errno != EACCES && errno != EINTR) || fileWritesStopped() || Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
}

// Writes data at offset at; answers how many bytes were written before the
// first error (errno set), all of them on success.
std::size_t writeAt(int fd, std::string_view data, off_t at)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// Writes data at the file's offset in pieces, giving up (ECANCELED) when the
// service stops in between.
bool writeInPieces(int fd, std::string_view data)
{
    while (!data.empty()) {
        if (fileWritesStopped()) {
            errno = ECANCELED;
            return false;
        }
        const ssize_t n = ::write(fd, data.data(), std::min(data.size(), kWritePiece));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The whole of the first size bytes of fd; none when fewer can be read.
std::optional<std::string> readAt(int fd, std::size_t size)
{
    std::string bytes(size, '\0');
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, bytes.data() + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        done += static_cast<std::size_t>(n);
    }
    return bytes;
}

// The names of fd's extended attributes that this process may see; an empty
// list where the file system has none. None on an error.
std::optional<std::vector<std::string>> attributeNames(int fd)
{
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size < 0)
            return errno == ENOTSUP ? std::optional<std::vector<std::string>>(std::in_place) : std::nullopt;
        std::vector<char> list(static_cast<std::size_t>(size));
        const ssize_t got = ::flistxattr(fd, list.data(), list.size());
        if (got < 0 && errno == ERANGE)
            continue;  // grew in between
        if (got < 0)
            return std::nullopt;
        std::vector<std::string> names;
        for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
            const std::size_t end = std::find(list.begin() + static_cast<std::ptrdiff_t>(at),
                                              list.begin() + got, '\0') - list.begin();
            if (end > at)
                names.emplace_back(list.data() + at, end - at);
            at = end + 1;
        }
        return names;
    }
    return std::nullopt;
}

enum class Value { Got, Absent, Failed };

Value attributeValue(int fd, const std::string& name, std::vector<char>& value)
{
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
        if (size < 0)
            return errno == ENODATA ? Value::Absent : Value::Failed;
        value.resize(static_cast<std::size_t>(size));
        const ssize_t got = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
        if (got < 0 && errno == ERANGE)
            continue;
        if (got < 0)
            return errno == ENODATA ? Value::Absent : Value::Failed;
        value.resize(static_cast<std::size_t>(got));
        return Value::Got;
    }
    return Value::Failed;
}

// A write through the file drops file capabilities, so a replace does not
// carry them over either.
bool carriedOver(const std::string& name) { return name != "security.capability"; }

// Gives to the extended attributes of from, as far as this process sees
// them: user.*, the POSIX ACL (system.posix_acl_access), security.* and, for
// root, trusted.*. Those that the new file got from its folder (a default
// ACL) and the old one lacks go again; the security.* ones the system gave
// it stay. False when one that the old file has cannot be set on the new one.
bool copyAttributes(int from, int to)
{
    const auto names = attributeNames(from);
    if (!names)
        return false;
    std::vector<char> value, given;
    for (const std::string& name : *names) {
        if (!carriedOver(name))
            continue;
        const Value got = attributeValue(from, name, value);
        if (got == Value::Failed)
            return false;
        // One the new file has already (a security label the system gave
        // it) is not set again: setting it may need a right that the copy
        // does not.
        if (got == Value::Absent || (attributeValue(to, name, given) == Value::Got && given == value))
            continue;
        if (::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0)
            return false;
    }
    const auto made = attributeNames(to);
    if (!made)
        return false;
    for (const std::string& name : *made) {
        if (name.rfind("security.", 0) == 0 || std::find(names->begin(), names->end(), name) != names->end())
            continue;
        if (::fremovexattr(to, name.c_str()) != 0 && errno != ENODATA)
            return false;
    }
    return true;
}

// The rename itself reaches the disk with the folder.
void syncFolder(int folder)
{
    const UniqueFd dir(openRetrying(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        ::fsync(dir.get());
}

enum class Outcome { Written, Refused, Again };

// Gives back the room that a refused in-place write took beyond the old end.
void releaseBeyond(int fd, std::size_t oldSize, std::size_t newSize)
{
    if (newSize > oldSize)
        ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(oldSize),
                    static_cast<off_t>(newSize - oldSize));
}

// Writes data through the file itself, under its turn and lock. First the
// room for the new length is taken (fallocate, beyond the end only in
// blocks, the length unchanged), so a full disk refuses the write before a
// byte of it lands. The old text is kept in memory meanwhile: should the
// write still fail part-way (a failing device; a file system without
// fallocate, where the room is found only by writing), what was changed is
// put back, which needs no new room, since those blocks were just written.
Outcome writeInPlace(int fd, bool readable, const struct stat& st, std::string_view data)
{
    const auto oldSize = static_cast<std::size_t>(st.st_size);
    if (!readable || oldSize > kMaxKeptOldBytes)
        return Outcome::Refused;
    const auto old = readAt(fd, oldSize);
    if (!old)
        return Outcome::Refused;
    if (!data.empty()) {
        int reserved;
        do {
            reserved = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(data.size()));
        } while (reserved != 0 && errno == EINTR);
        if (reserved != 0 && errno != EOPNOTSUPP && errno != ENOSYS) {
            releaseBeyond(fd, oldSize, data.size());
            return Outcome::Refused;
        }
    }

    const std::size_t written = writeAt(fd, data, 0);
    const bool shorter = data.size() < oldSize;
    bool cut = false;
    if (written == data.size()) {
        cut = !shorter || ::ftruncate(fd, static_cast<off_t>(data.size())) == 0;
        if (cut && ::fsync(fd) == 0)
            return Outcome::Written;
    }

    // Put back what changed: the old bytes that were overwritten, the tail
    // that a cut removed, and the old length.
    const std::size_t changed = shorter && cut ? oldSize : std::min(written, oldSize);
    writeAt(fd, std::string_view(*old).substr(0, changed), 0);
    // Best effort: the write has failed already and answers FALSE either way.
    [[maybe_unused]] const int restored = ::ftruncate(fd, static_cast<off_t>(oldSize));
    releaseBeyond(fd, oldSize, data.size());
    ::fsync(fd);
    return Outcome::Refused;
}

// A new file at name in folder: made whole as a temporary file and renamed
// to the name, unless a file has come there meanwhile (then Again).
Outcome writeNewFile(const std::shared_ptr<const UniqueFd>& folder, const std::string& name, std::string_view data)
{
    auto temp = temporaryFiles().create(folder, name, kCreatedMode);
    if (!temp || !writeInPieces(temp->fd(), data) || ::fsync(temp->fd()) != 0)
        return Outcome::Refused;
    if (!temp->renameOver(name, true))
        return errno == EEXIST ? Outcome::Again : Outcome::Refused;
    syncFolder(folder->get());
    return Outcome::Written;
}

// An existing file, under its turn and lock: replaced whole by a temporary
// file that carries its mode, owner, group and extended attributes (ACL
// included), renamed over it. Where that cannot keep what belongs to the
// file (hard links, an owner or attribute the process cannot give, no new
// file in the folder, a mount point), the file is written in place.
Outcome writeExisting(const std::shared_ptr<const UniqueFd>& folder, const std::string& name, int fd, bool readable,
                      const struct stat& st, std::string_view data)
{
    if (st.st_nlink > 1)
        return writeInPlace(fd, readable, st, data);
    auto temp = temporaryFiles().create(folder, name, st.st_mode & 0777);
    if (!temp)
        return fileWritesStopped() ? Outcome::Refused : writeInPlace(fd, readable, st, data);

    // Only root may give the new file another owner, and the change of owner
    // clears set-id bits, so the mode comes after it.
    [[maybe_unused]] const int ignored = ::fchown(temp->fd(), st.st_uid, st.st_gid);
    ::fchmod(temp->fd(), st.st_mode & 07777);
    struct stat made {};
    if (::fstat(temp->fd(), &made) != 0)
        return Outcome::Refused;
    if (made.st_uid != st.st_uid || made.st_gid != st.st_gid || !copyAttributes(fd, temp->fd())) {
        temp.reset();
        return writeInPlace(fd, readable, st, data);
    }

    if (!writeInPieces(temp->fd(), data) || ::fsync(temp->fd()) != 0)
        return Outcome::Refused;
    if (!temp->renameOver(name, false)) {
        if (errno != EBUSY && errno != EXDEV)
            return Outcome::Refused;
        temp.reset();
        return writeInPlace(fd, readable, st, data);
    }
    syncFolder(folder->get());
    return Outcome::Written;
}

// One try at writing data as the whole contents of the file at path. Two
// writes of this process to one name, or to one file by any of its names,
// take turns, and hold the file's advisory lock while they write. Again when
// the path changed under the write; then it starts over.
Outcome writeOnce(const std::string& path, std::string_view data)
{
    const auto target = resolveFinalLinks(path);
    if (!target)
        return Outcome::Refused;
    const std::string name = nameOf(*target);
    const auto folder = name.empty() ? nullptr : openFolderToCreateIn(*target);
    struct stat where {};
    if (!folder || ::fstat(folder->get(), &where) != 0)
        return Outcome::Refused;

    // The name first: writers of one path then come to its file one by one,
    // each finding the file that the one before it left there.
    const auto nameTurn = fileTurns().take({where.st_dev, where.st_ino, name});
    if (!nameTurn)
        return Outcome::Refused;

    const UniqueFd node(openRetrying(folder->get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!node)
        return errno == ENOENT ? writeNewFile(folder, name, data) : Outcome::Refused;
    struct stat st {};
    if (::fstat(node.get(), &st) != 0)
        return Outcome::Refused;
    if (S_ISLNK(st.st_mode))
        return Outcome::Again;  // a link came since the links were followed
    if (!isOrdinaryFile(node.get(), st))
        return Outcome::Refused;

    // An existing file is written only if the caller may open it for
    // writing, whatever its folder allows; reading too, where allowed, for
    // the copy that an in-place write keeps.
    bool readable = true;
    UniqueFd file = reopen(node.get(), st, folder->get(), name.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (!file && errno == EACCES) {
        readable = false;
        file = reopen(node.get(), st, folder->get(), name.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    }
    if (!file)
        return Outcome::Refused;

    const auto fileTurn = fileTurns().take({st.st_dev, st.st_ino, {}});
    if (!fileTurn || !lockForWriting(file.get()))
        return Outcome::Refused;
    // Another program may have put a new file at the name while this write
    // waited for the lock: then that one is the file to write.
    struct stat now {};
    if (::fstatat(folder->get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != st.st_dev ||
        now.st_ino != st.st_ino)
        return Outcome::Again;
    if (::fstat(file.get(), &st) != 0)
        return Outcome::Refused;
    return writeExisting(folder, name, file.get(), readable, st, data);
}

}  // namespace

bool isFilePathWritable_XPC(const std::string& path)
{
    if (path.size() > kMaxProbePathBytes || !usablePath(path) || !isValidUtf8(path))
        return false;
    ::umask(kCreationMask);
    Opened opened = openOrdinaryCreating(path);
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
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        const Outcome outcome = writeOnce(url->path, data);
        if (outcome != Outcome::Again)
            return outcome == Outcome::Written;
    }
    return false;
}

bool touchCancelFile(const std::string& path)
{
    if (!usablePath(path))
        return false;
    ::umask(kCreationMask);
    return openOrdinaryCreating(path).fd.valid();
}

bool appendCancelByte(const std::optional<std::string>& path)
{
    if (!path || !usablePath(*path))
        return false;
    ::umask(kCreationMask);
    const UniqueFd node(openRetrying(AT_FDCWD, path->c_str(), O_PATH | O_CLOEXEC));
    struct stat st {};
    if (!node || !isOrdinaryFile(node.get(), st))
        return false;
    const UniqueFd fd = reopen(node.get(), st, AT_FDCWD, path->c_str(), kOpenFlags);
    if (!fd)
        return false;
    const unsigned char cancelByte = 0x01;
    ssize_t written = ::write(fd.get(), &cancelByte, 1);
    if (written < 0)
        written = ::write(fd.get(), &cancelByte, 1);
    return written == 1;
}

void stopFileWrites()
{
    temporaryFiles().stop();
    fileTurns().stop();
}
