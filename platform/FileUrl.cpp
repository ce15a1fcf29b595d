#include "FileUrl.h"

#include <uriparser/Uri.h>

#include <strings.h>

namespace {

std::string_view rangeText(const UriTextRangeA& range)
{
    if (range.first == nullptr || range.afterLast == nullptr)
        return {};
    return std::string_view(range.first, static_cast<std::size_t>(range.afterLast - range.first));
}

bool isSet(const UriTextRangeA& range) { return range.first != nullptr; }

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Percent-decodes one path segment. A segment that decodes to a NUL byte or to
// a "/" would name another path than the URL shows, so it is refused.
std::optional<std::string> decodeSegment(std::string_view segment)
{
    std::string bytes(segment);
    const char* end = uriUnescapeInPlaceExA(bytes.data(), URI_FALSE, URI_BR_DONT_TOUCH);
    bytes.resize(static_cast<std::size_t>(end - bytes.data()));
    if (bytes.find('\0') != std::string::npos || bytes.find('/') != std::string::npos)
        return std::nullopt;
    return bytes;
}

// Owns the parse result; uriparser keeps pointers into the text.
class ParsedUri {
public:
    explicit ParsedUri(std::string_view text)
    {
        const char* errorPos = nullptr;
        ok_ = uriParseSingleUriExA(&uri_, text.data(), text.data() + text.size(), &errorPos) == URI_SUCCESS;
    }
    ~ParsedUri()
    {
        if (ok_)
            uriFreeUriMembersA(&uri_);
    }
    ParsedUri(const ParsedUri&) = delete;
    ParsedUri& operator=(const ParsedUri&) = delete;

    bool ok() const { return ok_; }
    const UriUriA& uri() const { return uri_; }

private:
    UriUriA uri_{};
    bool ok_ = false;
};

}  // namespace

std::optional<FileUrl> fileUrlFromString(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    const ParsedUri parsed(text);
    if (!parsed.ok())
        return std::nullopt;
    const UriUriA& uri = parsed.uri();
    if (!equalsIgnoringCase(rangeText(uri.scheme), "file"))
        return std::nullopt;
    if (isSet(uri.userInfo) || isSet(uri.portText) || isSet(uri.query) || isSet(uri.fragment))
        return std::nullopt;

    // "file:/p" has no authority and an absolute path; "file:///p" and
    // "file://localhost/p" have an authority, and then the path is absolute
    // whenever it has a segment at all.
    if (isSet(uri.hostText)) {
        const std::string_view host = rangeText(uri.hostText);
        if (!host.empty() && !equalsIgnoringCase(host, "localhost"))
            return std::nullopt;
        if (uri.pathHead == nullptr)
            return std::nullopt;
    } else if (!uri.absolutePath) {
        return std::nullopt;
    }

    FileUrl url;
    for (const UriPathSegmentA* segment = uri.pathHead; segment != nullptr; segment = segment->next) {
        const auto decoded = decodeSegment(rangeText(segment->text));
        if (!decoded)
            return std::nullopt;
        url.path += '/';
        url.path += *decoded;
    }
    if (url.path.empty())
        url.path = "/";
    return url;
}
