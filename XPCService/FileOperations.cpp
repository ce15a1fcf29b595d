#include "FileOperations.h"

#include "Text.h"
#include "UniqueFd.h"

#include <acl/libacl.h>
#include <attr/libattr.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
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

// Another program's advisory lock, or another write's of this process, is
// waited for this long.
constexpr auto kMaxLockWait = std::chrono::seconds(5);

// An in-place write keeps a copy of the old text to put back should it fail
// half-way. A request carries at most one D-Bus message (128 MiB); an old text
// longer than that is refused rather than copied into memory.
constexpr std::size_t kMaxKeptOldBytes = std::size_t{128} << 20;

// How often a call looks at its path again because others changed it in
// between: each new look follows someone else's progress, so this bound is
// only reached by a path that changes without end.
constexpr int kMaxLooks = 64;

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

bool usablePath(const std::string& path)
{
    return !path.empty() && path[0] == '/' && path.find('\0') == std::string::npos;
}

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

std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Opens the file that the O_PATH descriptor node holds anew, with flags,
// through /proc/self/fd: the same inode, whatever its path names by now (it
// may even be unlinked), so nothing but the file that was looked at is ever
// opened for writing. Without /proc, the path (dir, name) is opened and must
// still lead to the same inode (st); then a device swapped in between would
// be opened.
UniqueFd reopen(int node, const struct stat& st, int dir, const char* name, int flags)
{
    UniqueFd fd(openRetrying(AT_FDCWD, procPath(node).c_str(), flags));
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
        return ".";  // a cancel file's path may be relative
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The folder that path's last name lies in, for making a file there; none
// when it cannot be opened or is on a pseudo-file system.
UniqueFd openFolderToCreateIn(const std::string& path)
{
    UniqueFd folder(openRetrying(AT_FDCWD, parentOf(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (folder && onPseudoFileSystem(folder.get()))
        folder.reset();
    return folder;
}

// A new file in folder that no name leads to, open for reading and writing
// with mode; it vanishes when closed unless linked in. None (errno set) when
// the folder takes no new file or the file system makes no such files.
UniqueFd openNamelessIn(int folder, mode_t mode)
{
    UniqueFd fd(openRetrying(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
    if (fd)
        ::fchmod(fd.get(), mode);  // the mask does not narrow it
    return fd;
}

// The errors of a file system that makes no nameless files (some network file
// systems): there, files are written under their own names as they always
// were.
bool namelessRefused(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

struct Opened {
    UniqueFd fd;
    bool created = false;  // made at the path by this call
};

// Opens the regular file at path for reading and writing in append mode. When
// there is none, a missing file is made (0664, whatever the process's mask
// is by then), unless nameless: then a file that is never named shows that
// the folder takes one, and the file system keeps no trace of the call. A
// file made is learnt from an exclusive create, so one that someone else
// creates in between is never taken for ours. Anything but a regular file on
// an ordinary file system is refused before it is opened for writing, and a
// dangling symbolic link is not followed to make its target.
Opened openOrdinary(const std::string& path, bool nameless)
{
    const std::string name = nameOf(path);
    const auto openExisting = [&](const UniqueFd& node) -> Opened {
        struct stat st {};
        if (!isOrdinaryFile(node.get(), st))
            return {};
        return {reopen(node.get(), st, AT_FDCWD, path.c_str(), kOpenFlags), false};
    };
    for (int look = 0; look < kMaxLooks; ++look) {
        const UniqueFd node(openRetrying(AT_FDCWD, path.c_str(), O_PATH | O_CLOEXEC));
        if (node)
            return openExisting(node);
        if (errno != ENOENT || name.empty())
            return {};
        const UniqueFd folder = openFolderToCreateIn(path);
        if (!folder)
            return {};

        if (nameless) {
            // The name alone, not followed: a link there (one that led
            // nowhere) is refused, and a file that someone made since is the
            // file to answer for. Looking again instead could go on as long
            // as another program makes and removes the file.
            const UniqueFd here(openRetrying(folder.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            if (here)
                return openExisting(here);
            if (errno != ENOENT)
                return {};
            UniqueFd fd = openNamelessIn(folder.get(), kCreatedMode);
            if (fd || !namelessRefused(errno))
                return {std::move(fd), false};
        }
        UniqueFd fd(openRetrying(folder.get(), name.c_str(), kOpenFlags | O_CREAT | O_EXCL, kCreatedMode));
        if (fd) {
            ::fchmod(fd.get(), kCreatedMode);
            return {std::move(fd), true};
        }
        // EEXIST: made by someone else since the look (then look again), or
        // a dangling link, refused after the last look.
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

// Takes the advisory write lock on the whole file (an open file description
// lock, which conflicts with other programs' record locks as well, and with
// every other description of this process). Tried rather than waited for in
// the kernel, so that a holder that never lets go costs kMaxLockWait and a
// "FALSE", not a call that is never answered. A file system without locks
// has nothing to wait for.
bool lockForWriting(int fd)
{
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const auto deadline = Clock::now() + kMaxLockWait;
    auto pause = std::chrono::microseconds(100);
    for (;;) {
        if (::fcntl(fd, F_OFD_SETLK, &lock) == 0)
            return true;
        if (errno == ENOLCK || errno == EINVAL || errno == EOPNOTSUPP)
            return true;
        if ((errno != EAGAIN && errno != EACCES && errno != EINTR) || Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(2000));
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

bool writeWholeAndSync(int fd, std::string_view data) { return writeAt(fd, data, 0) == data.size() && ::fsync(fd) == 0; }

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

// libattr's choice (/etc/xattr.conf: the ACL goes to libacl, some are never
// copied), less file capabilities: a write through the file drops them, so a
// replace does not carry them over either.
int carriedOver(const char* name, struct error_context* context)
{
    return std::string_view(name) != "security.capability" && attr_copy_check_permissions(name, context);
}

// Gives to the extended attributes of from (user.*, security.*, trusted.*
// for root) and its ACL, in place of the one the new file may have got from
// its folder's default ACL. False when one of them cannot be set.
bool copyAttributes(int from, int to)
{
    // libattr reads its configuration at the first check, unguarded: that
    // first check happens once, here, before copies run side by side.
    static const bool configured = attr_copy_check_permissions("user.", nullptr) >= 0;
    return configured && attr_copy_fd("", from, "", to, carriedOver, nullptr) == 0 &&
           perm_copy_fd("", from, "", to, nullptr) == 0;
}

// The rename itself reaches the disk with the folder.
void syncFolder(int folder)
{
    const UniqueFd dir(openRetrying(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        ::fsync(dir.get());
}

// Gives the nameless file temp a name in folder: straight the name when it
// must be new (EEXIST when one came meanwhile), else a temporary name first,
// renamed over the old file. False (errno set) when that cannot be done; no
// name of temp is left then.
bool linkIn(int temp, int folder, const std::string& name, bool replace)
{
    const auto link = [&](const std::string& as) {
        if (::linkat(AT_FDCWD, procPath(temp).c_str(), folder, as.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return true;
        // Without /proc, only a privileged process may link a descriptor.
        return errno == ENOENT && ::linkat(temp, "", folder, as.c_str(), AT_EMPTY_PATH) == 0;
    };
    if (!replace)
        return link(name);

    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::string as = "." + name.substr(0, 200) + "." + std::to_string(::getpid()) + "." +
                               std::to_string(serial++);
        if (!link(as)) {
            if (errno == EEXIST)
                continue;  // a name left by a process that had our id
            return false;
        }
        if (::renameat(folder, as.c_str(), folder, name.c_str()) == 0)
            return true;
        const int error = errno;
        ::unlinkat(folder, as.c_str(), 0);
        errno = error;
        return false;
    }
    return false;
}

enum class Outcome { Written, Refused, Again };

// Gives back the room that a refused in-place write took beyond the old end.
void releaseBeyond(int fd, std::size_t oldSize, std::size_t newSize)
{
    if (newSize > oldSize)
        ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(oldSize),
                    static_cast<off_t>(newSize - oldSize));
}

// Writes data through the file itself, under its lock. First the room for
// the new length is taken (fallocate, beyond the end only in blocks, the
// length unchanged), so a full disk refuses the write before a byte of it
// lands. The old text is kept in memory meanwhile: should the write still
// fail part-way (a failing device; a file system without fallocate, where
// the room is found only by writing), what was changed is put back, which
// needs no new room, since those blocks were just written.
Outcome writeInPlace(int fd, bool readable, const struct stat& st, std::string_view data)
{
    // Compared as off_t: a 32-bit size_t would cut a longer old text short.
    if (!readable || st.st_size > static_cast<off_t>(kMaxKeptOldBytes))
        return Outcome::Refused;
    const auto oldSize = static_cast<std::size_t>(st.st_size);
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

// A new file at name in folder, made whole before the name leads to it. Where
// the file system makes no nameless files, the file is made under its name,
// locked, written and removed again should that fail. Again when a file came
// to the name meanwhile.
Outcome writeNewFile(int folder, const std::string& name, std::string_view data)
{
    const UniqueFd temp = openNamelessIn(folder, kCreatedMode);
    if (temp) {
        if (!writeWholeAndSync(temp.get(), data))
            return Outcome::Refused;
        if (!linkIn(temp.get(), folder, name, false))
            return errno == EEXIST ? Outcome::Again : Outcome::Refused;
        syncFolder(folder);
        return Outcome::Written;
    }
    if (!namelessRefused(errno))
        return Outcome::Refused;

    const UniqueFd fd(openRetrying(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kCreatedMode));
    if (!fd)
        return errno == EEXIST ? Outcome::Again : Outcome::Refused;
    ::fchmod(fd.get(), kCreatedMode);
    if (lockForWriting(fd.get()) && writeWholeAndSync(fd.get(), data)) {
        syncFolder(folder);
        return Outcome::Written;
    }
    struct stat made {}, now {};
    if (::fstat(fd.get(), &made) == 0 && ::fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        made.st_dev == now.st_dev && made.st_ino == now.st_ino)
        ::unlinkat(folder, name.c_str(), 0);
    return Outcome::Refused;
}

// An existing file, under its lock: replaced whole by a nameless file that
// carries its mode, owner, group, extended attributes and ACL, renamed over
// it. Where that cannot keep what belongs to the file (hard links, an owner
// or attribute the process cannot give, no new file in the folder, a mount
// point), the file is written in place.
Outcome writeExisting(int folder, const std::string& name, int fd, bool readable, const struct stat& st,
                      std::string_view data)
{
    if (st.st_nlink > 1)
        return writeInPlace(fd, readable, st, data);
    const UniqueFd temp = openNamelessIn(folder, st.st_mode & 0777);
    if (!temp)
        return writeInPlace(fd, readable, st, data);

    // Only root may give the new file another owner, and the change of owner
    // clears set-id bits, so the mode comes after it.
    [[maybe_unused]] const int ignored = ::fchown(temp.get(), st.st_uid, st.st_gid);
    ::fchmod(temp.get(), st.st_mode & 07777);
    struct stat made {};
    if (::fstat(temp.get(), &made) != 0)
        return Outcome::Refused;
    if (made.st_uid != st.st_uid || made.st_gid != st.st_gid || !copyAttributes(fd, temp.get()))
        return writeInPlace(fd, readable, st, data);

    if (!writeWholeAndSync(temp.get(), data))
        return Outcome::Refused;
    if (!linkIn(temp.get(), folder, name, true))
        return errno == EBUSY || errno == EXDEV ? writeInPlace(fd, readable, st, data) : Outcome::Refused;
    syncFolder(folder);
    return Outcome::Written;
}

// One try at writing data as the whole contents of the file at path, holding
// the file's advisory lock. Again when the path changed under the write;
// then it starts over.
Outcome writeOnce(const std::string& path, std::string_view data)
{
    const auto target = resolveFinalLinks(path);
    if (!target)
        return Outcome::Refused;
    const std::string name = nameOf(*target);
    const UniqueFd folder = name.empty() ? UniqueFd() : openFolderToCreateIn(*target);
    if (!folder)
        return Outcome::Refused;

    const UniqueFd node(openRetrying(folder.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!node)
        return errno == ENOENT ? writeNewFile(folder.get(), name, data) : Outcome::Refused;
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
    UniqueFd file = reopen(node.get(), st, folder.get(), name.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (!file && errno == EACCES) {
        readable = false;
        file = reopen(node.get(), st, folder.get(), name.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    }
    if (!file || !lockForWriting(file.get()))
        return Outcome::Refused;
    // Another writer may have put a new file at the name while this one
    // waited for the lock: then that one is the file to write.
    struct stat now {};
    if (::fstatat(folder.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != st.st_dev ||
        now.st_ino != st.st_ino)
        return Outcome::Again;
    if (::fstat(file.get(), &st) != 0)
        return Outcome::Refused;
    return writeExisting(folder.get(), name, file.get(), readable, st, data);
}

}  // namespace

bool isFilePathWritable_XPC(const std::string& path)
{
    if (path.size() > kMaxProbePathBytes || !usablePath(path) || !isValidUtf8(path))
        return false;
    ::umask(kCreationMask);
    Opened opened = openOrdinary(path, true);
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
    for (int look = 0; look < kMaxLooks; ++look) {
        const Outcome outcome = writeOnce(url->path, data);
        if (outcome != Outcome::Again)
            return outcome == Outcome::Written;
    }
    return false;
}

bool touchCancelFile(const std::string& path)
{
    if (path.empty() || path.find('\0') != std::string::npos)
        return false;
    ::umask(kCreationMask);
    return openOrdinary(path, false).fd.valid();
}

bool appendCancelByte(const std::optional<std::string>& path)
{
    if (!path || path->empty() || path->find('\0') != std::string::npos)
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
