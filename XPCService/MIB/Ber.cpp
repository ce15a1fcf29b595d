#include "Ber.h"

#include "SnmpTypeCode.h"
#include "Utf8.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace ber {

namespace {

// The most length bytes read after 8x: four carry every 32-bit length.
constexpr std::size_t kMaxLengthBytes = 4;

constexpr uint64_t kMaxSubIdentifier = 0xFFFFFFFF;

std::size_t room(const uint8_t* cur, const uint8_t* end) { return static_cast<std::size_t>(end - cur); }

bool isControlByte(uint8_t b) { return b <= 0x1F; }

// OCTET STRING content as the reply shows it: control bytes anywhere make the
// whole value hex pairs joined by "-" (MAC addresses and the like); otherwise
// the UTF-8 text, or four spaces and "%x" bytes when it is not UTF-8.
std::string renderOctetString(const uint8_t* cur, const uint8_t* end)
{
    char buf[4];
    std::string out;
    if (rendersAsHexPairs(cur, end)) {
        for (const uint8_t* p = cur; p < end; ++p) {
            std::snprintf(buf, sizeof buf, p + 1 < end ? "%02X-" : "%02X", *p);
            out += buf;
        }
        return out;
    }
    const std::string_view text(reinterpret_cast<const char*>(cur), room(cur, end));
    if (isValidUtf8(text))
        return std::string(text);
    out = "    ";
    for (const uint8_t* p = cur; p < end; ++p) {
        std::snprintf(buf, sizeof buf, "%x", *p);
        out += buf;
    }
    return out;
}

}  // namespace

void appendHeader(std::vector<uint8_t>& out, uint8_t tag, uint16_t length)
{
    out.push_back(tag);
    if (headerSize(length) == 2) {
        out.push_back(static_cast<uint8_t>(length));
        return;
    }
    out.push_back(0x82);
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(length & 0xFF));
}

std::optional<uint32_t> readLength(const uint8_t*& cur, const uint8_t* end)
{
    if (cur >= end)
        return std::nullopt;
    const uint8_t first = *cur;
    if (first < 0x80) {
        ++cur;
        return first;
    }
    // 80 is the indefinite form: its end is a marker inside the content, which
    // no SNMP message uses and a datagram reader has no use for.
    const std::size_t count = first & 0x7F;
    if (count == 0 || count > kMaxLengthBytes || room(cur, end) - 1 < count)
        return std::nullopt;
    uint32_t length = 0;
    for (std::size_t k = 1; k <= count; ++k)
        length = length << 8 | cur[k];
    cur += 1 + count;
    return length;
}

std::optional<Header> readHeader(const uint8_t*& cur, const uint8_t* end)
{
    if (cur >= end)
        return std::nullopt;
    const uint8_t* after = cur + 1;
    const std::optional<uint32_t> length = readLength(after, end);
    if (!length)
        return std::nullopt;
    const Header header{*cur, *length};
    cur = after;
    return header;
}

std::optional<Element> readElement(const uint8_t*& cur, const uint8_t* end, Fit fit)
{
    const uint8_t* content = cur;
    const std::optional<Header> header = readHeader(content, end);
    if (!header || (header->length > room(content, end) && fit == Fit::Whole))
        return std::nullopt;
    const Element element{header->tag, content, content + std::min<std::size_t>(header->length, room(content, end))};
    cur = element.contentEnd;
    return element;
}

uint64_t integerBits(const uint8_t* cur, const uint8_t* end, bool isSigned)
{
    uint64_t v = (isSigned && cur < end && (*cur & 0x80)) ? ~uint64_t{0} : 0;
    for (; cur < end; ++cur)
        v = (v << 8) | *cur;
    return v;
}

bool rendersAsHexPairs(const uint8_t* cur, const uint8_t* end) { return std::any_of(cur, end, isControlByte); }

std::optional<std::string> oidText(const uint8_t* cur, const uint8_t* end)
{
    if (cur >= end)
        return std::nullopt;
    // The first byte is taken alone: 1.3 is all a printer MIB is rooted in.
    std::string out = *cur++ == 0x2B ? "1.3" : "0.0";
    uint64_t v = 0;
    bool open = false;
    for (; cur < end; ++cur) {
        v = (v << 7) | (*cur & 0x7F);
        if (v > kMaxSubIdentifier)
            return std::nullopt;
        if (*cur & 0x80) {
            open = true;
            continue;
        }
        out += '.';
        out += std::to_string(v);
        v = 0;
        open = false;
    }
    // A sub-identifier whose closing byte is missing makes the whole OID unreadable.
    if (open)
        return std::nullopt;
    return out;
}

std::optional<std::string> renderValue(const uint8_t* cur, const uint8_t* end, uint8_t* typeCode)
{
    if (typeCode)
        *typeCode = kSnmpTypeOther;
    const uint8_t* content = cur;
    const std::optional<Header> header = readHeader(content, end);
    if (!header) {
        // A length that cannot be read leaves the content unreadable; the tag
        // still decides the type code, and an IpAddress still takes the four
        // bytes after the length's first byte.
        if (room(cur, end) < 3)
            return std::nullopt;
        content = cur + 2;
    }
    const uint8_t tag = *cur;
    // At least one byte must follow the length field, as in an element that
    // is not the message's last.
    if (content >= end)
        return std::nullopt;
    const bool fits = header && header->length <= room(content, end);
    const uint8_t* contentEnd = fits ? content + header->length : content;

    // The three kinds that are converted report their own tag as type code,
    // before their content is looked at.
    static_assert(kSnmpTypeInteger == kInteger && kSnmpTypeOctetString == kOctetString && kSnmpTypeObjectId == kOid);
    if (typeCode && (tag == kInteger || tag == kOctetString || tag == kOid))
        *typeCode = tag;
    switch (tag) {
    case kInteger:
        return fits ? std::optional(std::to_string(static_cast<int32_t>(integerBits(content, contentEnd, true))))
                    : std::nullopt;
    case kOctetString:
        return fits ? std::optional(renderOctetString(content, contentEnd)) : std::nullopt;
    case kNull:
        return std::nullopt;
    case kOid:
        return fits ? oidText(content, contentEnd) : std::nullopt;
    case kIpAddress: {
        // The four address bytes are read whatever the length says.
        if (room(content, end) < 4)
            return std::nullopt;
        char buf[16];
        std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", content[0], content[1], content[2], content[3]);
        return std::string(buf);
    }
    case kCounter:
    case kGauge:
    case kTimeTicks:
    case kUnsigned:
        // Counters and ticks are unsigned 32-bit quantities: rendered as such,
        // so a value above 2^31 does not come out negative.
        if (!typeCode)
            return std::string();
        return fits ? std::optional(std::to_string(static_cast<uint32_t>(integerBits(content, contentEnd, false))))
                    : std::nullopt;
    default:
        return std::string();
    }
}

}  // namespace ber
