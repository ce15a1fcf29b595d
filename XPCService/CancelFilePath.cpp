#include "CancelFilePath.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <climits>
#include <cstring>

namespace {

// As many links in a row as the kernel follows.
constexpr int kMaxLinks = 40;

// Network and user-space file systems report only the changes made on this
// machine, if any: a cancel written elsewhere is seen only by looking.
bool givesNoEvents(const std::string& folder)
{
    struct statfs fs {};
    if (::statfs(folder.c_str(), &fs) != 0)
        return true;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE
    case 0x01021997:  // 9P
    case 0x00C36400:  // Ceph
    case 0x5346414F:  // AFS
        return true;
    default:
        return false;
    }
}

std::optional<Place> placeOf(const std::string& path)
{
    auto split = splitWatchedPath(path);
    if (!split)
        return std::nullopt;
    const auto folder = folderIdOf(split->folder);
    if (!folder)
        return std::nullopt;
    const bool polled = givesNoEvents(split->folder);
    return Place{FileKey{*folder, std::move(split->name)}, std::move(split->folder), polled};
}

std::optional<std::string> readLink(const std::string& path)
{
    std::string target(PATH_MAX, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size())
        return std::nullopt;
    target.resize(static_cast<std::size_t>(n));
    return target;
}

}  // namespace

std::optional<FolderId> folderIdOf(const std::string& folder)
{
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    return FolderId{st.st_dev, st.st_ino};
}

std::optional<Resolved> resolve(const std::string& path)
{
    auto own = placeOf(path);
    if (!own)
        return std::nullopt;
    Resolved r{std::move(*own), std::nullopt};
    std::string at = path;
    struct stat st {};
    for (int hops = 0; hops < kMaxLinks && ::lstat(at.c_str(), &st) == 0 && S_ISLNK(st.st_mode); ++hops) {
        const auto target = readLink(at);
        if (!target)
            break;
        at = linkTargetPath(at, *target);
    }
    if (at != path) {
        if (auto place = placeOf(at); place && !(place->key == r.own.key))
            r.target = std::move(place);
    }
    return r;
}

std::optional<WatchedName> splitWatchedPath(std::string_view path)
{
    if (path.empty() || path.back() == '/' || path.find('\0') != std::string_view::npos)
        return std::nullopt;
    const std::size_t slash = path.rfind('/');
    WatchedName w;
    if (slash == std::string_view::npos) {
        w.folder = ".";
        w.name = std::string(path);
    } else {
        w.folder = slash == 0 ? std::string("/") : std::string(path.substr(0, slash));
        w.name = std::string(path.substr(slash + 1));
    }
    if (w.name == "." || w.name == "..")
        return std::nullopt;
    return w;
}

std::string linkTargetPath(std::string_view linkPath, std::string_view target)
{
    if (!target.empty() && target.front() == '/')
        return std::string(target);
    const std::size_t slash = linkPath.rfind('/');
    if (slash == std::string_view::npos)
        return "./" + std::string(target);
    return std::string(linkPath.substr(0, slash + 1)) + std::string(target);
}

std::size_t forEachInotifyEvent(const unsigned char* buffer, std::size_t size,
                                const std::function<void(int, uint32_t, std::string_view)>& each)
{
    std::size_t count = 0;
    std::size_t at = 0;
    while (size - at >= sizeof(inotify_event)) {
        inotify_event header;
        std::memcpy(&header, buffer + at, sizeof header);
        const std::size_t nameStart = at + sizeof header;
        if (header.len > size - nameStart)
            break;
        const char* name = reinterpret_cast<const char*>(buffer + nameStart);
        each(header.wd, header.mask, std::string_view(name, strnlen(name, header.len)));
        at = nameStart + header.len;
        ++count;
    }
    return count;
}
