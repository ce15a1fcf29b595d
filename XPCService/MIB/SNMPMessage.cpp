#include "SNMPMessage.h"

#include "Ber.h"
#include "SnmpTypeCode.h"

#include <algorithm>
#include <limits>

namespace {

constexpr uint64_t kMaxArc = 0x7FFFFFFF;

uint32_t saturate32(uint64_t v) { return static_cast<uint32_t>(std::min<uint64_t>(v, UINT32_MAX)); }

// Elements whose content is the elements that follow them: only a header.
bool isHeaderOnly(uint8_t tag)
{
    return tag == ber::kSequence || tag == ber::kGetRequest || tag == ber::kGetNextRequest || tag == ber::kNull;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

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
    for (; cur < end && isDigit(*cur); ++cur) {
        const auto digit = static_cast<uint64_t>(*cur - '0');
        if (v > (std::numeric_limits<uint64_t>::max() - digit) / 10)
            return std::numeric_limits<uint64_t>::max();
        v = v * 10 + digit;
    }
    return v;
}

bool isPdu(uint8_t tag) { return tag >= 0xA0 && tag <= 0xA4; }

// The next element of a walk, when it carries the tag expected (a PDU tag
// when expected is 0xA0); a container may be cut by the end of the datagram.
std::optional<ber::Element> next(const uint8_t*& cur, const uint8_t* end, uint8_t expected,
                                 ber::Fit fit = ber::Fit::Whole)
{
    const auto e = ber::readElement(cur, end, fit);
    if (!e || (expected == ber::kGetRequest ? !isPdu(e->tag) : e->tag != expected))
        return std::nullopt;
    return e;
}

// The PDU of a v1 message walked from the outer SEQUENCE down: version,
// community, then the PDU, each header and length checked.
std::optional<ber::Element> pduOf(const std::vector<uint8_t>& m)
{
    const uint8_t* cur = m.data();
    const auto outer = next(cur, cur + m.size(), ber::kSequence, ber::Fit::MayBeCut);
    if (!outer)
        return std::nullopt;
    cur = outer->content;
    const uint8_t* const end = outer->contentEnd;
    if (!next(cur, end, ber::kInteger) || !next(cur, end, ber::kOctetString))
        return std::nullopt;
    return next(cur, end, ber::kGetRequest, ber::Fit::MayBeCut);
}

// The first binding's OID found by walking the structure, so that no byte
// pattern inside the community or the request id can pass for it.
std::optional<SNMPMessage::OidLocation> firstBindingByStructure(const std::vector<uint8_t>& m)
{
    const auto pdu = pduOf(m);
    if (!pdu)
        return std::nullopt;
    const uint8_t* cur = pdu->content;
    // Request id, error status, error index.
    for (int k = 0; k < 3; ++k)
        if (!next(cur, pdu->contentEnd, ber::kInteger))
            return std::nullopt;
    const auto list = next(cur, pdu->contentEnd, ber::kSequence, ber::Fit::MayBeCut);
    if (!list)
        return std::nullopt;
    cur = list->content;
    const auto binding = next(cur, list->contentEnd, ber::kSequence, ber::Fit::MayBeCut);
    if (!binding)
        return std::nullopt;
    cur = binding->content;
    const auto oid = next(cur, binding->contentEnd, ber::kOid);
    if (!oid)
        return std::nullopt;
    return SNMPMessage::OidLocation{static_cast<uint64_t>(binding->content - m.data()),
                                    static_cast<uint64_t>(oid->content - 1 - m.data()),
                                    static_cast<uint64_t>(oid->contentEnd - oid->content)};
}

// Whether index i can name a value: index 0 is the message's own tag.
bool isValueIndex(const std::vector<uint8_t>* message, uint64_t i)
{
    return message && i != 0 && i < message->size();
}

// The value at index i rendered as text; a type pointer selects the
// three-argument behaviour.
std::optional<std::string> valueString(const std::vector<uint8_t>* message, uint64_t i, uint8_t* type)
{
    if (!isValueIndex(message, i)) {
        if (type)
            *type = kSnmpTypeOther;
        return std::nullopt;
    }
    return ber::renderValue(message->data() + i, message->data() + message->size(), type);
}

uint64_t valueIndexOf(const SNMPMessage::OidLocation& at) { return at[1] + at[2] + 1; }

// The first binding, unless there is none or its OID length byte lies
// beyond what an 8-bit position can say (a cut position would point into
// the wrong bytes).
std::optional<SNMPMessage::OidLocation> firstBinding(const std::vector<uint8_t>* message)
{
    const auto at = SNMPMessage::firstBindingLocation(message);
    if (!at || (*at)[1] > 0xFF)
        return std::nullopt;
    return at;
}

// The OID at a location as dotted text, when its bytes lie in the message.
std::optional<std::string> oidTextAt(const std::vector<uint8_t>& message, const SNMPMessage::OidLocation& at)
{
    const uint64_t start = at[1] + 1;
    if (start > message.size() || at[2] > message.size() - start)
        return std::nullopt;
    return ber::oidText(message.data() + start, message.data() + start + at[2]);
}

}  // namespace

void SNMPMessage::clearVarbind()
{
    varbindOids_.clear();
    varbindValues_.clear();
    varbindCount_ = 0;
}

void SNMPMessage::setSnmpVar(SnmpVar& record, uint8_t type, uint8_t length, const std::vector<uint8_t>* value)
{
    setSnmpVar(record, type, length);
    // A value shorter than the length is kept as it is; the writer then finds
    // the content missing and the message fails its length test. Assigned,
    // not reset and emplaced: gcc 14 takes the vector that emplace destroys
    // for one that may be uninitialized.
    if (value)
        record.value = std::vector<uint8_t>(value->begin(), value->begin() + std::min<std::size_t>(length, value->size()));
    else
        record.value.reset();
}

void SNMPMessage::setSnmpVar(SnmpVar& record, uint8_t type, uint8_t length)
{
    record.type = type;
    record.length = length;
}

void SNMPMessage::setMessageSequenceLength(uint8_t length) { setSnmpVar(message_, ber::kSequence, length); }

void SNMPMessage::setVersion(uint8_t version) { setInteger(version_, version); }

bool SNMPMessage::setCommunityString(const std::string& community)
{
    // The community goes on the wire as its UTF-8 bytes, all of them; a
    // length that does not fit the one-byte field is refused, not cut.
    if (community.size() > 255)
        return false;
    const std::vector<uint8_t> bytes(community.begin(), community.end());
    setSnmpVar(communityString_, ber::kOctetString, static_cast<uint8_t>(bytes.size()), &bytes);
    return true;
}

void SNMPMessage::setPdu(uint8_t type, uint8_t length) { setSnmpVar(pdu_, type, length); }

void SNMPMessage::setRequestId(const std::vector<uint8_t>& bytes, uint8_t type, uint8_t length)
{
    setSnmpVar(requestId_, type, length, &bytes);
}

void SNMPMessage::setError(uint8_t status) { setInteger(error_, status); }

void SNMPMessage::setErrorIndex(uint8_t index) { setInteger(errorIndex_, index); }

void SNMPMessage::setVarbindListSequenceLength(uint8_t length) { setSnmpVar(varbindList_, ber::kSequence, length); }

void SNMPMessage::setVarbindSequenceLength(uint8_t length) { setSnmpVar(varbind_, ber::kSequence, length); }

void SNMPMessage::setInteger(SnmpVar& record, uint8_t value)
{
    const std::vector<uint8_t> bytes{value};
    setSnmpVar(record, ber::kInteger, 1, &bytes);
}

bool SNMPMessage::setVarbindOidsWithNilValues(const std::vector<std::string>& oids)
{
    clearVarbind();
    // Encode every OID before any record is kept: one bad OID refuses the
    // whole list rather than leaving a half-built message.
    if (oids.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
        return false;
    std::vector<SnmpVar> encoded(oids.size());
    for (std::size_t k = 0; k < oids.size(); ++k) {
        std::vector<uint8_t> bytes;
        const auto count = copyOid(oids[k], bytes);
        if (!count)
            return false;
        encoded[k] = SnmpVar{ber::kOid, static_cast<uint8_t>(*count), std::move(bytes)};
    }
    varbindOids_ = std::move(encoded);
    varbindValues_.assign(oids.size(), SnmpVar{ber::kNull, 0, std::nullopt});
    varbindCount_ = static_cast<int32_t>(oids.size());
    return true;
}

std::optional<uint64_t> SNMPMessage::copyOid(const std::string& oid, std::vector<uint8_t>& bytes)
{
    // The text must be d.d, then arcs of one or more digits after each dot,
    // within the buffer. No arc takes more bytes than it has characters, so
    // 255 characters always fit the 256 bytes.
    if (oid.size() < 3 || oid.size() >= kOidBufferSize || !isDigit(oid[0]) || oid[1] != '.' || !isDigit(oid[2]))
        return std::nullopt;
    const unsigned first = 40u * static_cast<unsigned>(oid[0] - '0') + static_cast<unsigned>(oid[2] - '0');
    if (first > 0xFF)
        return std::nullopt;
    std::vector<uint8_t> out{static_cast<uint8_t>(first)};
    std::array<uint8_t, 10> groups{};
    const char* const end = oid.data() + oid.size();
    for (const char* p = oid.data() + 3; p < end;) {
        if (*p++ != '.')
            return std::nullopt;
        const char* const arc = p;
        while (p < end && isDigit(*p))
            ++p;
        const uint64_t value = leadingDigits(arc, p);
        if (p == arc || value > kMaxArc)
            return std::nullopt;
        out.insert(out.end(), groups.begin(), groups.begin() + static_cast<std::ptrdiff_t>(seventhBitHasMoreValue(value, groups)));
    }
    const uint64_t count = out.size();
    out.resize(kOidBufferSize, 0);
    bytes = std::move(out);
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
    if (record.length > ber::kMaxWrittenLength)
        return -1;
    const bool wantsContent = record.length != 0 && !isHeaderOnly(record.type);
    const bool hasContent = record.value && record.value->size() >= record.length;
    ber::appendHeader(*data_, record.type, static_cast<uint16_t>(record.length));
    if (!wantsContent)
        return 0;
    if (!hasContent)
        return -1;
    data_->insert(data_->end(), record.value->begin(), record.value->begin() + record.length);
    return 0;
}

int32_t SNMPMessage::getTotalByteCount(int32_t contentLength)
{
    // A negative length keeps the short form's two header bytes; a size
    // beyond 32 bits saturates.
    const int64_t n = contentLength;
    const int64_t size = n + static_cast<int64_t>(ber::headerSize(n < 0 ? 0 : static_cast<uint64_t>(n)));
    return static_cast<int32_t>(std::min<int64_t>(size, std::numeric_limits<int32_t>::max()));
}

uint64_t SNMPMessage::bindingLength(std::size_t k) const
{
    return ber::elementSize(varbindOids_[k].length) + ber::elementSize(varbindValues_[k].length);
}

void SNMPMessage::autoComputeLength()
{
    uint64_t list = 0;
    for (std::size_t k = 0; k < varbindOids_.size(); ++k) {
        varbind_.length = saturate32(bindingLength(k));
        list += ber::elementSize(bindingLength(k));
    }
    varbindList_.length = saturate32(list);
    const uint64_t pdu = ber::elementSize(list) + ber::elementSize(errorIndex_.length) + ber::elementSize(error_.length) +
                         ber::elementSize(requestId_.length);
    pdu_.length = saturate32(pdu);
    message_.length = saturate32(ber::elementSize(pdu) + ber::elementSize(communityString_.length) +
                                 ber::elementSize(version_.length));
}

bool SNMPMessage::isSnmpValid() const
{
    if (!data_ || data_->empty())
        return false;
    const uint8_t* cur = data_->data() + 1;
    const uint8_t* const end = data_->data() + data_->size();
    const std::optional<uint32_t> length = ber::readLength(cur, end);
    return length && *length == static_cast<uint64_t>(end - cur);
}

void SNMPMessage::writeSnmpMessageToData()
{
    data_->clear();
    autoComputeLength();
    // A message whose outer length needs more than the three-byte form has
    // no encoding; every inner length is smaller, so this one test suffices.
    if (message_.length > ber::kMaxWrittenLength)
        return;
    data_->reserve(ber::elementSize(message_.length));

    for (const SnmpVar* record :
         {&message_, &version_, &communityString_, &pdu_, &requestId_, &error_, &errorIndex_, &varbindList_})
        copyVar(*record);
    for (std::size_t k = 0; k < varbindOids_.size(); ++k) {
        varbind_.length = saturate32(bindingLength(k));
        copyVar(varbind_);
        copyVar(varbindOids_[k]);
        copyVar(varbindValues_[k]);
    }
    // Content that a record lacked leaves the bytes short of the outer length.
    if (!isSnmpValid())
        data_->clear();
}

std::vector<SNMPMessage::OidLocation>
SNMPMessage::extractAllOIDPositionAndLengthFromMessage(const std::vector<uint8_t>* message)
{
    std::vector<OidLocation> found;
    if (!message)
        return found;
    const uint8_t* const begin = message->data();
    const uint8_t* const end = begin + message->size();
    // A byte-pattern scan, not a walk of the structure: every SEQUENCE header
    // directly followed by an OID header counts, also one inside a value's
    // bytes. Both lengths may take any form the reader takes; the location
    // then names the OID length field's last byte, after which the OID's
    // content starts.
    for (const uint8_t* p = begin; end - p > 3; ++p) {
        const uint8_t* cur = p;
        const auto sequence = ber::readHeader(cur, end);
        const uint8_t* const oidAt = cur;
        const auto oid = sequence && sequence->tag == ber::kSequence ? ber::readHeader(cur, end) : std::nullopt;
        if (oid && oid->tag == ber::kOid)
            found.push_back({static_cast<uint64_t>(oidAt - begin), static_cast<uint64_t>(cur - 1 - begin), oid->length});
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
    return ber::oidText(oidData->data(), oidData->data() + oidData->size());
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
    return ber::rendersAsHexPairs(content.data(), content.data() + content.size());
}

std::optional<std::vector<uint8_t>> SNMPMessage::extractValueDataFromMessage(const std::vector<uint8_t>* message,
                                                                             uint64_t valueTypeIndex)
{
    if (!isValueIndex(message, valueTypeIndex))
        return std::nullopt;
    const uint8_t* cur = message->data() + valueTypeIndex;
    const auto value = ber::readElement(cur, message->data() + message->size());
    if (!value)
        return std::nullopt;
    return std::vector<uint8_t>(value->content, value->contentEnd);
}

std::optional<int64_t> SNMPMessage::extractRequestIdFromMessage(const std::vector<uint8_t>* message)
{
    const auto pdu = message ? pduOf(*message) : std::nullopt;
    if (!pdu)
        return std::nullopt;
    const uint8_t* cur = pdu->content;
    const auto id = next(cur, pdu->contentEnd, ber::kInteger);
    // An INTEGER of one to eight bytes; anything else is no request id.
    if (!id || id->content == id->contentEnd || id->contentEnd - id->content > 8)
        return std::nullopt;
    return static_cast<int64_t>(ber::integerBits(id->content, id->contentEnd, true));
}

void SNMPMessage::extractSysIDFromMsg(const std::vector<uint8_t>* message, std::string& sysID)
{
    if (!message)
        return;
    const auto at = firstBinding(message);
    sysID = at ? extractValueStringFromMessage(message, valueIndexOf(*at)).value_or(std::string()) : std::string();
}

bool SNMPMessage::extractDataFromMsg(const std::vector<uint8_t>* message, const std::optional<std::string>& community,
                                     std::vector<uint8_t>& contents)
{
    const auto at = community ? firstBinding(message) : std::nullopt;
    auto bytes = at ? extractValueDataFromMessage(message, valueIndexOf(*at)) : std::nullopt;
    if (bytes)
        contents = std::move(*bytes);
    return bytes.has_value();
}

bool SNMPMessage::extractStringFromMsg(const std::vector<uint8_t>* message, const std::optional<std::string>& community,
                                       std::string& contents)
{
    const auto at = community ? firstBinding(message) : std::nullopt;
    auto text = at ? extractValueStringFromMessage(message, valueIndexOf(*at)) : std::nullopt;
    if (text)
        contents = std::move(*text);
    return text.has_value();
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
        oids.push_back(oidTextAt(*message, at).value_or(std::string()));
        contents.push_back(extractValueStringFromMessage(message, valueIndexOf(at)).value_or(std::string()));
    }
}

bool SNMPMessage::extractStringFromMsg(const std::vector<uint8_t>* message, const std::optional<std::string>& community,
                                       std::string& nextOID, std::string& contents)
{
    const auto at = community ? firstBinding(message) : std::nullopt;
    auto oid = at ? oidTextAt(*message, *at) : std::nullopt;
    if (!oid)
        return false;
    nextOID = std::move(*oid);
    return extractStringFromMsg(message, community, contents);
}
