#include "SNMPMessage.h"

#include "Ber.h"
#include "SnmpTypeCode.h"

#include <algorithm>
#include <limits>

namespace {

constexpr uint64_t kMaxArc = 0x7FFFFFFF;

uint32_t saturate32(uint64_t v)
{
    return v > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max() : static_cast<uint32_t>(v);
}

// Elements whose content is the elements that follow them: only a header.
bool isHeaderOnly(uint8_t tag)
{
    return tag == ber::kSequence || tag == ber::kGetRequest || tag == ber::kGetNextRequest || tag == ber::kNull;
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

bool isPdu(uint8_t tag) { return tag >= 0xA0 && tag <= 0xA4; }

// The PDU of a v1 message walked from the outer SEQUENCE down: version,
// community, then the PDU, each header and length checked.
std::optional<ber::Element> pduOf(const uint8_t* cur, const uint8_t* end)
{
    const auto outer = ber::readElement(cur, end, ber::Fit::MayBeCut);
    if (!outer || outer->tag != ber::kSequence)
        return std::nullopt;
    cur = outer->content;
    const auto version = ber::readElement(cur, outer->contentEnd);
    if (!version || version->tag != ber::kInteger)
        return std::nullopt;
    const auto community = ber::readElement(cur, outer->contentEnd);
    if (!community || community->tag != ber::kOctetString)
        return std::nullopt;
    const auto pdu = ber::readElement(cur, outer->contentEnd, ber::Fit::MayBeCut);
    if (!pdu || !isPdu(pdu->tag))
        return std::nullopt;
    return pdu;
}

// The first binding's OID found by walking the structure, so that no byte
// pattern inside the community or the request id can pass for it.
std::optional<SNMPMessage::OidLocation> firstBindingByStructure(const std::vector<uint8_t>& m)
{
    const uint8_t* const begin = m.data();
    const auto pdu = pduOf(begin, begin + m.size());
    if (!pdu)
        return std::nullopt;
    const uint8_t* cur = pdu->content;
    // Request id, error status, error index.
    for (int k = 0; k < 3; ++k) {
        const auto field = ber::readElement(cur, pdu->contentEnd);
        if (!field || field->tag != ber::kInteger)
            return std::nullopt;
    }
    const auto list = ber::readElement(cur, pdu->contentEnd, ber::Fit::MayBeCut);
    if (!list || list->tag != ber::kSequence)
        return std::nullopt;
    cur = list->content;
    const auto binding = ber::readElement(cur, list->contentEnd, ber::Fit::MayBeCut);
    if (!binding || binding->tag != ber::kSequence)
        return std::nullopt;
    cur = binding->content;
    const auto oid = ber::readElement(cur, binding->contentEnd);
    if (!oid || oid->tag != ber::kOid)
        return std::nullopt;
    return SNMPMessage::OidLocation{static_cast<uint64_t>(binding->content - begin),
                                    static_cast<uint64_t>(oid->content - 1 - begin),
                                    static_cast<uint64_t>(oid->contentEnd - oid->content)};
}

// The value at index i rendered as text; a type pointer selects the
// three-argument behaviour. Index 0 is the message's own tag, never a value.
std::optional<std::string> valueString(const std::vector<uint8_t>* message, uint64_t i, uint8_t* type)
{
    if (!message || i == 0 || i >= message->size()) {
        if (type)
            *type = kSnmpTypeOther;
        return std::nullopt;
    }
    return ber::renderValue(message->data() + i, message->data() + message->size(), type);
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

}  // namespace

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

void SNMPMessage::setMessageSequenceLength(uint8_t length) { setSnmpVar(message_, ber::kSequence, length); }

void SNMPMessage::setVersion(uint8_t version)
{
    const std::vector<uint8_t> bytes{version};
    setSnmpVar(version_, ber::kInteger, 1, &bytes);
}

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

void SNMPMessage::setError(uint8_t status)
{
    const std::vector<uint8_t> bytes{status};
    setSnmpVar(error_, ber::kInteger, 1, &bytes);
}

void SNMPMessage::setErrorIndex(uint8_t index)
{
    const std::vector<uint8_t> bytes{index};
    setSnmpVar(errorIndex_, ber::kInteger, 1, &bytes);
}

void SNMPMessage::setVarbindListSequenceLength(uint8_t length) { setSnmpVar(varbindList_, ber::kSequence, length); }

void SNMPMessage::setVarbindSequenceLength(uint8_t length) { setSnmpVar(varbind_, ber::kSequence, length); }

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
        encoded[k].type = ber::kOid;
        encoded[k].length = static_cast<uint8_t>(*count);
        encoded[k].value = std::move(bytes);
    }
    if (oids.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
        return false;
    varbindOids_ = std::move(encoded);
    varbindValues_.assign(oids.size(), SnmpVar{ber::kNull, 0, std::nullopt});
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
    if (record.length > ber::kMaxWrittenLength)
        return -1;
    const bool wantsContent = record.length != 0 && !isHeaderOnly(record.type);
    const bool hasContent = record.value && record.value->size() >= record.length;

    // Size first, then write: the header, then the content.
    data_->reserve(data_->size() + ber::headerSize(record.length) + (wantsContent && hasContent ? record.length : 0));
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

void SNMPMessage::autoComputeLength()
{
    uint64_t list = 0;
    for (std::size_t k = 0; k < varbindOids_.size(); ++k) {
        const uint64_t one = ber::elementSize(varbindOids_[k].length) + ber::elementSize(varbindValues_[k].length);
        varbind_.length = saturate32(one);
        list += ber::elementSize(one);
    }
    varbindList_.length = saturate32(list);
    const uint64_t pdu = ber::elementSize(list) + ber::elementSize(errorIndex_.length) + ber::elementSize(error_.length) +
                         ber::elementSize(requestId_.length);
    pdu_.length = saturate32(pdu);
    message_.length = saturate32(ber::elementSize(pdu) + ber::elementSize(communityString_.length) + ber::elementSize(version_.length));
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
        // The same length the computation above gave this binding.
        varbind_.length = saturate32(ber::elementSize(varbindOids_[k].length) + ber::elementSize(varbindValues_[k].length));
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
    const uint8_t* const begin = message->data();
    const uint8_t* const end = begin + message->size();
    // A byte-pattern scan, not a walk of the structure: every SEQUENCE header
    // directly followed by an OID header counts, also one inside a value's
    // bytes. Both lengths may take any form the reader takes; the location
    // then names the OID length field's last byte, after which the OID's
    // content starts.
    for (const uint8_t* p = begin; end - p > 3; ++p) {
        if (*p != ber::kSequence)
            continue;
        const uint8_t* cur = p + 1;
        if (!ber::readLength(cur, end) || cur == end || *cur != ber::kOid)
            continue;
        const uint8_t* const oidAt = cur++;
        const std::optional<uint32_t> oidLength = ber::readLength(cur, end);
        if (!oidLength)
            continue;
        found.push_back({static_cast<uint64_t>(oidAt - begin), static_cast<uint64_t>(cur - 1 - begin), *oidLength});
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
    if (!message || valueTypeIndex == 0 || valueTypeIndex >= message->size())
        return std::nullopt;
    const uint8_t* cur = message->data() + valueTypeIndex;
    const auto value = ber::readElement(cur, message->data() + message->size());
    if (!value)
        return std::nullopt;
    return std::vector<uint8_t>(value->content, value->contentEnd);
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
    const uint8_t* const begin = message->data();
    const auto pdu = pduOf(begin, begin + message->size());
    if (!pdu)
        return std::nullopt;
    const uint8_t* cur = pdu->content;
    const auto id = ber::readElement(cur, pdu->contentEnd);
    // An INTEGER of one to eight bytes; anything else is no request id.
    if (!id || id->tag != ber::kInteger || id->content == id->contentEnd || id->contentEnd - id->content > 8)
        return std::nullopt;
    uint64_t v = (*id->content & 0x80) ? ~uint64_t{0} : 0;
    for (const uint8_t* p = id->content; p < id->contentEnd; ++p)
        v = (v << 8) | *p;
    return static_cast<int64_t>(v);
}
