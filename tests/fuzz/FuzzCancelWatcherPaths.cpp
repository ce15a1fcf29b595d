// The cancel watcher's path handling on arbitrary input: the split of a
// cancel-file path into the folder to watch and the name, and the walk over a
// buffer of inotify records. Checks that a split puts the pieces back
// together and that the walk never reads past the buffer.
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
        if (split->name.empty() || split->name.find('/') != std::string::npos)
            __builtin_trap();
        const std::string joined = split->folder == "." && path.find('/') == std::string::npos
                                       ? split->name
                                       : (split->folder == "/" ? "/" : split->folder + "/") + split->name;
        if (joined != path)
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
