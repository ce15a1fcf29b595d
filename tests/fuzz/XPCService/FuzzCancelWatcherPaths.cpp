// The cancel watcher's path handling on arbitrary input: the split of a
// cancel-file path into the folder to watch and the name, where a link's
// target leads, and the walk over a buffer of inotify records. Checks the
// split against the path's own last "/", that a relative target is read from
// the link's own folder, and that the walk never reads past the buffer.
#include "CancelWatcher.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path(reinterpret_cast<const char*>(data), size);
    if (const auto split = splitWatchedPath(path)) {
        // The name is what follows the last "/", the folder what precedes it
        // ("/" for a path in the root, "." for a bare name).
        const std::size_t slash = path.rfind('/');
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        if (split->name.empty() || split->name != name || split->folder != folder)
            __builtin_trap();
    }

    // The input's first NUL, if any, parts a link's path from its target.
    const std::size_t cut = path.find('\0');
    if (cut != std::string::npos) {
        const std::string link = path.substr(0, cut);
        const std::string target = path.substr(cut + 1);
        const std::string leadsTo = linkTargetPath(link, target);
        const std::size_t linkSlash = link.rfind('/');
        const std::string base = !target.empty() && target[0] == '/' ? ""
                                 : linkSlash == std::string::npos     ? "./"
                                                                      : link.substr(0, linkSlash + 1);
        if (leadsTo != base + target)
            __builtin_trap();
    }

    // An exact-size copy, so that the sanitizer sees any read past its end.
    std::vector<unsigned char> buffer(data, data + size);
    std::size_t total = 0;
    const std::size_t count = forEachInotifyEvent(buffer.data(), buffer.size(), [&](int, uint32_t, std::string_view name) {
        total += name.size();
        if (std::memchr(name.data(), '\0', name.size()) != nullptr)
            __builtin_trap();
    });
    if (total > size || count > size)
        __builtin_trap();
    return 0;
}
