#include "SNMPMessage.h"

#include "Utf8.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace {

// BER tags the builder and the readers know by name.
constexpr uint8_t kBerInteger = 0x02;
constexpr uint8_t kBerOctetString = 0x04;
constexpr uint8_t kBerNull = 0x05;
constexpr uint8_t kBerOid = 0x06;
constexpr uint8_t kBerSequence = 0x30;
constexpr uint8_t kBerIpAddress = 0x40;
constexpr uint8_t kBerCounter = 0x41;
constexpr uint8_t kBerGauge = 0x42;
constexpr uint8_t kBerTimeTicks = 0x43;
constexpr uint8_t kBerUnsigned = 0x47;
constexpr uint8_t kBerGetRequest = 0xA0;
constexpr uint8_t kBerGetNextRequest = 0xA1;

// Type codes reported with a rendered value.
constexpr uint8_t kTypeCodeOther = 5;

constexpr uint64_t kMaxArc = 0x7FFFFFFF;
constexpr uint64_t kMaxSubIdentifier = 0xFFFFFFFF;

// Whole element size for a content length, in 64 bits so that no sum of
// sizes can wrap; lengths beyond 65535 are refused by the writer anyway.
uint64_t elementSize(uint64_t contentLength) { return contentLength + (contentLength <= 127 ? 2 : 4); }

uint32_t saturate32(uint64_t v)
{
    return v > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max() : static_cast<uint32_t>(v);
}

// Elements whose content is the elements that follow them: only a header.
bool isHeaderOnly(uint8_t tag)
{
    return tag == kBerSequence || tag == kBerGetRequest || tag == kBerGetNextRequest || tag == kBerNull;
}

// Number of 7-bit groups a sub-identifier takes (at least one).
uint64_t groupCount(uint64_t value)
{
    uint64_t n = 1;
    while (value >>= 7)
        ++n;
    return n;
}

// Leading decimal digits of [cur, end) as a number, saturating at the top;
// no digits read as 0.
uint64_t leadingDigits(const char* cur, const char* end)
{
    uint64_t v = 0;
    for (; cur < end && *cur >= '0' && *cur <= '9'; ++cur) {
        const uint64_t digit = static_cast<uint64_t>(*cur - '0');
        if (v > (std::numeric_limits<uint64_t>::max() - digit) / 10)
            return std::numeric_limits<uint64_t>::max();
        v = v * 10 + digit;
    }
    return v;
}

bool isControlByte(uint8_t b) { return b <= 0x1F; }

// OCTET STRING content as the reply shows it: control bytes anywhere make the
// whole value hex pairs joined by "-" (MAC addresses and the like); otherwise
// the UTF-8 text, or four spaces and "%x" bytes when it is not UTF-8.
std::string renderOctetString(const uint8_t* cur, const uint8_t* end)
{
    char buf[4];
    std::string out;
    if (std::any_of(cur, end, isControlByte)) {
        for (const uint8_t* p = cur; p < end; ++p) {
            std::snprintf(buf, sizeof buf, p + 1 < end ? "%02X-" : "%02X", *p);
            out += buf;
        }
        return out;
    }
    if (isValidUtf8(std::string_view(reinterpret_cast<const char*>(cur), static_cast<std::size_t>(end - cur))))
        return std::string(reinterpret_cast<const char*>(cur), static_cast<std::size_t>(end - cur));
    out = "    ";
    for (const uint8_t* p = cur; p < end; ++p) {
        std::snprintf(buf, sizeof buf, "%x", *p);
        out += buf;
    }
    return out;
}

// Big-endian content bytes in 32 bits, so only the last four count; a signed
// INTEGER starts from all ones when its first content byte is negative.
uint32_t foldBytes(const uint8_t* cur, const uint8_t* end, bool isSigned)
{
    uint32_t v = (isSigned && cur < end && (*cur & 0x80)) ? 0xFFFFFFFFu : 0u;
    for (; cur < end; ++cur)
        v = (v << 8) | *cur;
    return v;
}

// OID content bytes [cur, end) to dotted text; see convertOIDDataToString.
std::optional<std::string> oidBytesToString(const uint8_t* cur, const uint8_t* end)
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

// A BER length field that starts at position at: the short form, or the long
// forms 81 n and 82 n n (all an SNMP datagram ever needs). Answers the length
// and the field's size in bytes; none when the field runs past the end or
// takes another form.
std::optional<std::pair<uint64_t, uint64_t>> readLength(const std::vector<uint8_t>& m, uint64_t at)
{
    if (at >= m.size())
        return std::nullopt;
    const uint8_t b = m[at];
    if (b < 0x80)
        return std::make_pair(uint64_t{b}, uint64_t{1});
    if (b == 0x81 && m.size() - at > 1)
        return std::make_pair(uint64_t{m[at + 1]}, uint64_t{2});
    if (b == 0x82 && m.size() - at > 2)
        return std::make_pair(uint64_t{m[at + 1]} << 8 | m[at + 2], uint64_t{3});
    return std::nullopt;
}

// One element's header read at position at: its tag, content start and
// content length, the content lying wholly within [at, end). A container
// (SEQUENCE, PDU) may run past end: a datagram cut short by the receive
// buffer still names its fields; its length is then what is there.
struct BerElement {
    uint8_t tag;
    uint64_t contentAt;
    uint64_t length;
    uint64_t lastLengthByte;
};

std::optional<BerElement> readElement(const std::vector<uint8_t>& m, uint64_t at, uint64_t end,
                                      bool container = false)
{
    if (at >= end)
        return std::nullopt;
    const auto len = readLength(m, at + 1);
    if (!len)
        return std::nullopt;
    const uint64_t contentAt = at + 1 + len->second;
    if (contentAt > end)
        return std::nullopt;
    if (len->first > end - contentAt) {
        if (!container)
            return std::nullopt;
        return BerElement{m[at], contentAt, end - contentAt, contentAt - 1};
    }
    return BerElement{m[at], contentAt, len->first, contentAt - 1};
}

bool isPdu(uint8_t tag) { return tag >= 0xA0 && tag <= 0xA4; }

// The PDU of a v1 message walked from the outer SEQUENCE down: version,
// community, then the PDU, each header and length checked.
std::optional<BerElement> pduOf(const std::vector<uint8_t>& m)
{
    const auto outer = readElement(m, 0, m.size(), true);
    if (!outer || outer->tag != kBerSequence)
        return std::nullopt;
    const uint64_t end = outer->contentAt + outer->length;
    const auto version = readElement(m, outer->contentAt, end);
    if (!version || version->tag != kBerInteger)
        return std::nullopt;
    const auto community = readElement(m, version->contentAt + version->length, end);
    if (!community || community->tag != kBerOctetString)
        return std::nullopt;
    const auto pdu = readElement(m, community->contentAt + community->length, end, true);
    if (!pdu || !isPdu(pdu->tag))
        return std::nullopt;
    return pdu;
}

// The first binding's OID found by walking the structure, so that no byte
// pattern inside the community or the request id can pass for it.
std::optional<SNMPMessage::OidLocation> firstBindingByStructure(const std::vector<uint8_t>& m)
{
    const auto pdu = pduOf(m);
    if (!pdu)
        return std::nullopt;
    const uint64_t end = pdu->contentAt + pdu->length;
    uint64_t at = pdu->contentAt;
    // Request id, error status, error index.
    for (int k = 0; k < 3; ++k) {
        const auto field = readElement(m, at, end);
        if (!field || field->tag != kBerInteger)
            return std::nullopt;
        at = field->contentAt + field->length;
    }
    const auto list = readElement(m, at, end, true);
    if (!list || list->tag != kBerSequence)
        return std::nullopt;
    const auto binding = readElement(m, list->contentAt, list->contentAt + list->length, true);
    if (!binding || binding->tag != kBerSequence)
        return std::nullopt;
    const auto oid = readElement(m, binding->contentAt, binding->contentAt + binding->length);
    if (!oid || oid->tag != kBerOid)
        return std::nullopt;
    return SNMPMessage::OidLocation{binding->contentAt, oid->lastLengthByte, oid->length};
}

// The value at index i rendered as text. A type pointer selects the
// three-argument behaviour: type code written, unsigned types rendered.
std::optional<std::string> valueString(const std::vector<uint8_t>* message, uint64_t i, uint8_t* type)
{
    if (type)
        *type = kTypeCodeOther;
    if (!message || i == 0)
        return std::nullopt;
    const std::vector<uint8_t>& m = *message;
    const uint64_t size = m.size();
    if (i >= size)
        return std::nullopt;
    const uint8_t tag = m[i];
    // A length in a form this reader does not know leaves the content
    // unreadable; the tag still decides the type code.
    const auto len = readLength(m, i + 1);
    const uint64_t contentAt = len ? i + 1 + len->second : i + 2;
    // Tag, length and at least one more byte must lie in the message.
    if (contentAt >= size)
        return std::nullopt;
    const uint8_t* content = m.data() + contentAt;
    const bool fits = len && len->first <= size - contentAt;
    const uint8_t* contentEnd = fits ? content + len->first : content;

    switch (tag) {
    case kBerInteger: {
        if (type)
            *type = kBerInteger;
        if (!fits)
            return std::nullopt;
        return std::to_string(static_cast<int32_t>(foldBytes(content, contentEnd, true)));
    }
    case kBerOctetString:
        if (type)
            *type = kBerOctetString;
        if (!fits)
            return std::nullopt;
        return renderOctetString(content, contentEnd);
    case kBerNull:
        return std::nullopt;
    case kBerOid:
        if (type)
            *type = kBerOid;
        if (!fits)
            return std::nullopt;
        return oidBytesToString(content, contentEnd);
    case kBerIpAddress: {
        // The four address bytes are read whatever the length says.
        if (size - contentAt < 4)
            return std::nullopt;
        char buf[16];
        std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", content[0], content[1], content[2], content[3]);
        return std::string(buf);
    }
    case kBerCounter:
    case kBerGauge:
    case kBerTimeTicks:
    case kBerUnsigned:
        // Counters and ticks are unsigned 32-bit quantities: rendered as such,
        // so a value above 2^31 does not come out negative.
        if (!type)
            return std::string();
        if (!fits)
            return std::nullopt;
        return std::to_string(foldBytes(content, contentEnd, false));
    default:
        return std::string();
    }
}

// The first binding, unless there is none or its OID length byte lies beyond
// what an 8-bit position can say (a cut position would point into the wrong
// bytes).
std::optional<SNMPMessage::OidLocation> firstBinding(const std::vector<uint8_t>* message)
{
    const auto at = SNMPMessage::firstBindingLocation(message);
    if (!at || (*at)[1] > 0xFF)
        return std::nullopt;
    return at;
}

// The content bytes of the OID at a location, when they lie in the message.
std::optional<std::vector<uint8_t>> oidContent(const std::vector<uint8_t>& message, const SNMPMessage::OidLocation& at)
{
    const uint64_t start = at[1] + 1;
    if (start > message.size() || at[2] > message.size() - start)
        return std::nullopt;
    return std::vector<uint8_t>(message.begin() + static_cast<std::ptrdiff_t>(start),
                                message.begin() + static_cast<std::ptrdiff_t>(start + at[2]));
}

uint64_t valueIndexOf(const SNMPMessage::OidLocation& at) { return at[1] + at[2] + 1; }

} // namespace

SNMPMessage::SNMPMessage() : data_(std::make_shared<std::vector<uint8_t>>()) {}

void SNMPMessage::clearVarbind()
{
    varbindOids_.clear();
    varbindValues_.clear();
    varbindCount_ = 0;
}

void SNMPMessage::setSnmpVar(SnmpVar& record, uint8_t type, uint8_t length, const std::vector<uint8_t>* value)
{
    record.type = type;
    record.length = length;
    // A value shorter than the length is kept as it is; the writer then finds
    // the content missing and the message fails its length test. Assigned,
    // not reset and emplaced: gcc 14 takes the vector that emplace destroys
    // for one that may be uninitialized.
    if (value) {
        const auto end = value->begin() + std::min<std::size_t>(length, value->size());
        record.value = std::vector<uint8_t>(value->begin(), end);
    } else {
        record.value.reset();
    }
}

void SNMPMessage::setSnmpVar(SnmpVar& record, uint8_t type, uint8_t length)
{
    record.type = type;
    record.length = length;
}

void SNMPMessage::setMessageSequenceLength(uint8_t length) { setSnmpVar(message_, kBerSequence, length); }

void SNMPMessage::setVersion(uint8_t version)
{
    const std::vector<uint8_t> bytes{version};
    setSnmpVar(version_, kBerInteger, 1, &bytes);
}

bool SNMPMessage::setCommunityString(const std::string& community)
{
    // The community goes on the wire as its UTF-8 bytes, all of them; a
    // length that does not fit the one-byte field is refused, not cut.
    if (community.size() > 255)
        return false;
    const std::vector<uint8_t> bytes(community.begin(), community.end());
    setSnmpVar(communityString_, kBerOctetString, static_cast<uint8_t>(bytes.size()), &bytes);
    return true;
}

void SNMPMessage::setPdu(uint8_t type, uint8_t length) { setSnmpVar(pdu_, type, length); }

void SNMPMessage::setRequestId(const std::vector<uint8_t>& bytes, uint8_t type, uint8_t length)
{
    setSnmpVar(requestId_, type, length, &bytes);
}

void SNMPMessage::setError(uint8_t status)
{
    const std::vector<uint8_t> bytes{status};
    setSnmpVar(error_, kBerInteger, 1, &bytes);
}

void SNMPMessage::setErrorIndex(uint8_t index)
{
    const std::vector<uint8_t> bytes{index};
    setSnmpVar(errorIndex_, kBerInteger, 1, &bytes);
}

void SNMPMessage::setVarbindListSequenceLength(uint8_t length) { setSnmpVar(varbindList_, kBerSequence, length); }

void SNMPMessage::setVarbindSequenceLength(uint8_t length) { setSnmpVar(varbind_, kBerSequence, length); }

bool SNMPMessage::setVarbindOidsWithNilValues(const std::vector<std::string>& oids)
{
    clearVarbind();
    // Encode every OID before any record is kept: one bad OID refuses the
    // whole list rather than leaving a half-built message.
    std::vector<SnmpVar> encoded(oids.size());
    for (std::size_t k = 0; k < oids.size(); ++k) {
        std::vector<uint8_t> bytes;
        const auto count = copyOid(oids[k], bytes);
        if (!count)
            return false;
        encoded[k].type = kBerOid;
        encoded[k].length = static_cast<uint8_t>(*count);
        encoded[k].value = std::move(bytes);
    }
    if (oids.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
        return false;
    varbindOids_ = std::move(encoded);
    varbindValues_.assign(oids.size(), SnmpVar{kBerNull, 0, std::nullopt});
    varbindCount_ = static_cast<int32_t>(oids.size());
    return true;
}

std::optional<uint64_t> SNMPMessage::copyOid(const std::string& oid, std::vector<uint8_t>& bytes)
{
    // The text must be d.d or d.d.arc..., digits and dots only, within the
    // buffer, with no empty arc.
    if (oid.size() < 3 || oid.size() >= kOidBufferSize)
        return std::nullopt;
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    if (!isDigit(oid[0]) || oid[1] != '.' || !isDigit(oid[2]) || (oid.size() > 3 && oid[3] != '.'))
        return std::nullopt;
    const uint64_t first = 40u * static_cast<uint64_t>(oid[0] - '0') + static_cast<uint64_t>(oid[2] - '0');
    if (first > 0xFF)
        return std::nullopt;
    const char* const end = oid.data() + oid.size();
    for (const char* p = oid.data() + 3; p < end;) {
        // p is at a dot; the arc after it must have 1 or more digits and fit 31 bits.
        const char* arc = ++p;
        while (p < end && isDigit(*p))
            ++p;
        if (p == arc || (p < end && *p != '.') || leadingDigits(arc, p) > kMaxArc)
            return std::nullopt;
    }

    // Size first: the arcs' group count must fit the buffer (it always does
    // for 255 characters: no arc takes more bytes than it has characters).
    const uint64_t expected = getVarbindOIDLength(oid);
    if (expected == 0 || expected > kOidBufferSize)
        return std::nullopt;
    bytes.assign(kOidBufferSize, 0);
    bytes[0] = static_cast<uint8_t>(first);
    uint64_t count = 1;
    std::array<uint8_t, 10> groups{};
    for (const char* p = oid.data() + 3; p < end && count < expected;) {
        const char* arc = ++p;
        while (p < end && *p != '.')
            ++p;
        const uint64_t written = seventhBitHasMoreValue(leadingDigits(arc, p), groups);
        for (uint64_t k = 0; k < written; ++k)
            bytes[count++] = groups[k];
    }
    return count;
}

uint64_t SNMPMessage::seventhBitHasMoreValue(uint64_t value, std::array<uint8_t, 10>& bytes)
{
    const uint64_t n = groupCount(value);
    for (uint64_t k = 0; k < n; ++k) {
        const auto group = static_cast<uint8_t>((value >> (7 * (n - 1 - k))) & 0x7F);
        bytes[k] = k + 1 < n ? static_cast<uint8_t>(group | 0x80) : group;
    }
    return n;
}

uint64_t SNMPMessage::getVarbindOIDLength(const std::optional<std::string>& oid)
{
    if (!oid)
        return 0;
    uint64_t sum = 0;
    const char* const end = oid->data() + oid->size();
    for (const char* p = oid->data();; ++p) {
        const char* part = p;
        while (p < end && *p != '.')
            ++p;
        sum += groupCount(leadingDigits(part, p));
        if (p >= end)
            break;
    }
    // The first two arcs share one byte.
    return sum - 1;
}

int64_t SNMPMessage::copyVar(const SnmpVar& record)
{
    if (record.length > kMaxElementLength)
        return -1;
    const bool wantsContent = record.length != 0 && !isHeaderOnly(record.type);
    const bool hasContent = record.value && record.value->size() >= record.length;

    // Size first, then write: tag, a one- or three-byte length, the content.
    const std::size_t headerSize = record.length <= 127 ? 2 : 4;
    data_->reserve(data_->size() + headerSize + (wantsContent && hasContent ? record.length : 0));
    data_->push_back(record.type);
    if (record.length <= 127) {
        data_->push_back(static_cast<uint8_t>(record.length));
    } else {
        data_->push_back(0x82);
        data_->push_back(static_cast<uint8_t>(record.length >> 8));
        data_->push_back(static_cast<uint8_t>(record.length & 0xFF));
    }
    if (!wantsContent)
        return 0;
    if (!hasContent)
        return -1;
    data_->insert(data_->end(), record.value->begin(), record.value->begin() + record.length);
    return 0;
}

int32_t SNMPMessage::getTotalByteCount(int32_t contentLength)
{
    if (contentLength > std::numeric_limits<int32_t>::max() - 4)
        return std::numeric_limits<int32_t>::max();
    return contentLength <= 127 ? contentLength + 2 : contentLength + 4;
}

void SNMPMessage::autoComputeLength()
{
    uint64_t list = 0;
    for (std::size_t k = 0; k < varbindOids_.size(); ++k) {
        const uint64_t one = elementSize(varbindOids_[k].length) + elementSize(varbindValues_[k].length);
        varbind_.length = saturate32(one);
        list += elementSize(one);
    }
    varbindList_.length = saturate32(list);
    const uint64_t pdu = elementSize(list) + elementSize(errorIndex_.length) + elementSize(error_.length) +
                         elementSize(requestId_.length);
    pdu_.length = saturate32(pdu);
    message_.length = saturate32(elementSize(pdu) + elementSize(communityString_.length) + elementSize(version_.length));
}

bool SNMPMessage::isSnmpValid() const
{
    if (!data_ || data_->size() < 2)
        return false;
    const std::vector<uint8_t>& d = *data_;
    uint64_t expected;
    if (d[1] < 0x80) {
        expected = d[1] + 2u;
    } else if (d[1] == 0x82) {
        if (d.size() < 4)
            return false;
        expected = d[2] * 256u + d[3] + 4u;
    } else if (d[1] == 0x81) {
        // Not written by this builder, but the one-byte long form is still
        // read as what it says rather than as a two-byte length.
        if (d.size() < 3)
            return false;
        expected = d[2] + 3u;
    } else {
        return false;
    }
    return d.size() == expected;
}

void SNMPMessage::writeSnmpMessageToData()
{
    data_->clear();
    autoComputeLength();
    // A message whose outer length needs more than the three-byte form has
    // no encoding; every inner length is smaller, so this one test suffices.
    if (message_.length > kMaxElementLength)
        return;
    data_->reserve(elementSize(message_.length));

    for (const SnmpVar* record :
         {&message_, &version_, &communityString_, &pdu_, &requestId_, &error_, &errorIndex_, &varbindList_})
        copyVar(*record);
    for (std::size_t k = 0; k < varbindOids_.size(); ++k) {
        // The same length the computation above gave this binding.
        varbind_.length = saturate32(elementSize(varbindOids_[k].length) + elementSize(varbindValues_[k].length));
        copyVar(varbind_);
        copyVar(varbindOids_[k]);
        copyVar(varbindValues_[k]);
    }
    // Content that a record lacked leaves the bytes short of the outer length.
    if (!isSnmpValid())
        data_->clear();
}

std::shared_ptr<std::vector<uint8_t>> SNMPMessage::data() const { return data_; }

void SNMPMessage::setData(std::shared_ptr<std::vector<uint8_t>> data)
{
    data_ = data ? std::move(data) : std::make_shared<std::vector<uint8_t>>();
}

std::vector<SNMPMessage::OidLocation>
SNMPMessage::extractAllOIDPositionAndLengthFromMessage(const std::vector<uint8_t>* message)
{
    std::vector<OidLocation> found;
    if (!message)
        return found;
    const std::vector<uint8_t>& m = *message;
    // A byte-pattern scan, not a walk of the structure: every SEQUENCE header
    // directly followed by an OID header counts, also one inside a value's
    // bytes. Both lengths may take the long forms 81 n and 82 n n; the
    // location then names the OID length field's last byte, after which the
    // OID's content starts.
    for (std::size_t p = 0; p + 3 < m.size(); ++p) {
        if (m[p] != kBerSequence)
            continue;
        const auto seqLength = readLength(m, p + 1);
        if (!seqLength)
            continue;
        const uint64_t oidAt = p + 1 + seqLength->second;
        if (oidAt >= m.size() || m[oidAt] != kBerOid)
            continue;
        const auto oidLength = readLength(m, oidAt + 1);
        if (!oidLength)
            continue;
        found.push_back({oidAt, oidAt + oidLength->second, oidLength->first});
    }
    return found;
}

void SNMPMessage::extractOIDPositionAndLengthFromMessage(const std::vector<uint8_t>* message,
                                                         uint8_t& oidPositionIndex, uint8_t& oidLengthIndex,
                                                         uint64_t& oidLengthValue)
{
    const auto at = firstBinding(message);
    if (!at)
        return;
    oidPositionIndex = static_cast<uint8_t>((*at)[0]);
    oidLengthIndex = static_cast<uint8_t>((*at)[1]);
    oidLengthValue = (*at)[2];
}

std::optional<SNMPMessage::OidLocation> SNMPMessage::firstBindingLocation(const std::vector<uint8_t>* message)
{
    if (!message)
        return std::nullopt;
    if (const auto at = firstBindingByStructure(*message))
        return at;
    // Not a whole message: the first byte pattern that looks like a binding.
    const auto all = extractAllOIDPositionAndLengthFromMessage(message);
    if (all.empty())
        return std::nullopt;
    return all.front();
}

std::optional<std::string> SNMPMessage::convertOIDDataToString(const std::vector<uint8_t>* oidData)
{
    if (!oidData)
        return std::nullopt;
    return oidBytesToString(oidData->data(), oidData->data() + oidData->size());
}

std::optional<std::string> SNMPMessage::extractValueStringFromMessage(const std::vector<uint8_t>* message,
                                                                      uint64_t valueTypeIndex, uint8_t& type)
{
    return valueString(message, valueTypeIndex, &type);
}

std::optional<std::string> SNMPMessage::extractValueStringFromMessage(const std::vector<uint8_t>* message,
                                                                      uint64_t valueTypeIndex)
{
    return valueString(message, valueTypeIndex, nullptr);
}

bool SNMPMessage::rendersAsHexPairs(const std::vector<uint8_t>& content)
{
    return std::any_of(content.begin(), content.end(), isControlByte);
}

std::optional<std::vector<uint8_t>> SNMPMessage::extractValueDataFromMessage(const std::vector<uint8_t>* message,
                                                                             uint64_t valueTypeIndex)
{
    if (!message || valueTypeIndex == 0)
        return std::nullopt;
    const uint64_t size = message->size();
    if (valueTypeIndex >= size)
        return std::nullopt;
    const auto len = readLength(*message, valueTypeIndex + 1);
    if (!len)
        return std::nullopt;
    const uint64_t n = len->first;
    const uint64_t start = valueTypeIndex + 1 + len->second;
    if (n > size - start)
        return std::nullopt;
    return std::vector<uint8_t>(message->begin() + static_cast<std::ptrdiff_t>(start),
                                message->begin() + static_cast<std::ptrdiff_t>(start + n));
}

void SNMPMessage::extractSysIDFromMsg(const std::vector<uint8_t>* message, std::string& sysID)
{
    if (!message)
        return;
    const auto at = firstBinding(message);
    const auto text = at ? extractValueStringFromMessage(message, valueIndexOf(*at)) : std::nullopt;
    sysID = text.value_or(std::string());
}

bool SNMPMessage::extractDataFromMsg(const std::vector<uint8_t>* message, const std::optional<std::string>& community,
                                     std::vector<uint8_t>& contents)
{
    if (!message || !community)
        return false;
    const auto at = firstBinding(message);
    if (!at)
        return false;
    auto bytes = extractValueDataFromMessage(message, valueIndexOf(*at));
    if (!bytes)
        return false;
    contents = std::move(*bytes);
    return true;
}

bool SNMPMessage::extractStringFromMsg(const std::vector<uint8_t>* message, const std::optional<std::string>& community,
                                       std::string& contents)
{
    if (!message || !community)
        return false;
    const auto at = firstBinding(message);
    if (!at)
        return false;
    auto text = extractValueStringFromMessage(message, valueIndexOf(*at));
    if (!text)
        return false;
    contents = std::move(*text);
    return true;
}

void SNMPMessage::extractAllStringsFromMsg(const std::vector<uint8_t>* message,
                                           const std::optional<std::string>& community, std::vector<std::string>& oids,
                                           std::vector<std::string>& contents)
{
    if (!message || !community)
        return;
    // Full positions here: every binding is read where it lies, and what
    // cannot be read (an OID running past the end included) counts as "".
    for (const OidLocation& at : extractAllOIDPositionAndLengthFromMessage(message)) {
        const auto oidBytes = oidContent(*message, at);
        const auto oidText = oidBytes ? convertOIDDataToString(&*oidBytes) : std::nullopt;
        oids.push_back(oidText.value_or(std::string()));
        contents.push_back(extractValueStringFromMessage(message, valueIndexOf(at)).value_or(std::string()));
    }
}

bool SNMPMessage::extractStringFromMsg(const std::vector<uint8_t>* message, const std::optional<std::string>& community,
                                       std::string& nextOID, std::string& contents)
{
    if (!message || !community)
        return false;
    const auto at = firstBinding(message);
    if (!at)
        return false;
    const auto oidBytes = oidContent(*message, *at);
    auto oidText = oidBytes ? convertOIDDataToString(&*oidBytes) : std::nullopt;
    if (!oidText)
        return false;
    nextOID = std::move(*oidText);
    auto text = extractValueStringFromMessage(message, valueIndexOf(*at));
    if (!text)
        return false;
    contents = std::move(*text);
    return true;
}

std::optional<int64_t> SNMPMessage::extractRequestIdFromMessage(const std::vector<uint8_t>* message)
{
    if (!message)
        return std::nullopt;
    const auto pdu = pduOf(*message);
    if (!pdu)
        return std::nullopt;
    const auto id = readElement(*message, pdu->contentAt, pdu->contentAt + pdu->length);
    // An INTEGER of one to eight bytes; anything else is no request id.
    if (!id || id->tag != kBerInteger || id->length == 0 || id->length > 8)
        return std::nullopt;
    const uint8_t* cur = message->data() + id->contentAt;
    uint64_t v = (*cur & 0x80) ? ~uint64_t{0} : 0;
    for (uint64_t k = 0; k < id->length; ++k)
        v = (v << 8) | cur[k];
    return static_cast<int64_t>(v);
}
