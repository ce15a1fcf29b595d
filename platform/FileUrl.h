#pragma once
// URL from a string, for the property-list write: only absolute file URLs name
// something that can be written.

#include <optional>
#include <string>
#include <string_view>

// A file URL, reduced to the local path that it names.
struct FileUrl {
    std::string path;  // absolute, percent-decoded
};

// Parses text as a URL (RFC 3986, uriparser). Answers the local path of an
// absolute "file:" URL with no host, an empty host or "localhost"
// ("file:/p", "file:///p", "file://localhost/p"). Everything else is no URL:
// text the parser refuses, other schemes, relative paths, other hosts, user
// info, ports, queries and fragments, and paths whose decoding would hold a
// NUL byte or an encoded "/".
std::optional<FileUrl> fileUrlFromString(std::string_view text);
