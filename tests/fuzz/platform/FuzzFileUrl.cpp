// The file-URL parser on arbitrary text: whatever it accepts names an
// absolute local path without NUL bytes, and parsing never reads out of
// bounds.
#include "FileUrl.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exact-size copy without a terminating NUL: the parser must keep to
    // the length it is given.
    const std::vector<char> text(data, data + size);
    const auto url = fileUrlFromString(std::string_view(text.data(), text.size()));
    if (url) {
        if (url->path.empty() || url->path[0] != '/' || url->path.find('\0') != std::string::npos)
            __builtin_trap();
    }
    return 0;
}
