// Every reading operation of SNMPMessage on arbitrary bytes, the BER length
// and element readers and the structure walk included. The first eight
// bytes choose the value index; the rest is the message.
#include "Ber.h"
#include "SNMPMessage.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The length field and the element at every position: the cursor stays
// within the bytes and moves only on success; a length field is the short
// form or 81 to 84 with that many bytes and says what those bytes say; an
// element's content lies between its header and the end, whole unless it
// may be cut.
void checkBerReadersEverywhere(const std::vector<uint8_t>& m)
{
    const uint8_t* const end = m.data() + m.size();
    for (const uint8_t* at = m.data(); at < end; ++at) {
        const uint8_t* cur = at;
        const auto length = ber::readLength(cur, end);
        if (!length) {
            if (cur != at || (*at < 0x80) || (*at >= 0x81 && *at <= 0x84 && end - at > (*at & 0x7F)))
                __builtin_trap();
        } else if (*at < 0x80) {
            if (cur != at + 1 || *length != *at)
                __builtin_trap();
        } else {
            const std::size_t count = *at & 0x7F;
            if (count < 1 || count > 4 || cur != at + 1 + count || cur > end)
                __builtin_trap();
            uint64_t v = 0;
            for (const uint8_t* p = at + 1; p < cur; ++p)
                v = v << 8 | *p;
            if (v != *length)
                __builtin_trap();
        }
        for (const ber::Fit fit : {ber::Fit::Whole, ber::Fit::MayBeCut}) {
            cur = at;
            const auto e = ber::readElement(cur, end, fit);
            if (!e) {
                if (cur != at)
                    __builtin_trap();
                continue;
            }
            if (e->tag != *at || e->content < at + 2 || e->contentEnd < e->content || e->contentEnd > end ||
                cur != e->contentEnd)
                __builtin_trap();
            const uint8_t* lengthAt = at + 1;
            const auto declared = ber::readLength(lengthAt, end);
            if (!declared || lengthAt != e->content)
                __builtin_trap();
            const auto got = static_cast<uint64_t>(e->contentEnd - e->content);
            if (fit == ber::Fit::Whole ? got != *declared : got > *declared)
                __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    uint64_t index = 0;
    if (size >= sizeof index) {
        std::memcpy(&index, data, sizeof index);
        // Mostly small indexes, so they land inside the message.
        if (!(index & 0x8000000000000000ull))
            index %= 512;
    }
    const std::vector<uint8_t> whole(data, data + size);
    const std::vector<uint8_t> message(size >= 8 ? data + 8 : data, data + size);
    checkBerReadersEverywhere(whole);
    for (const std::vector<uint8_t>* m : {&whole, &message}) {
        uint8_t type = 0;
        (void)SNMPMessage::extractValueStringFromMessage(m, index, type);
        (void)SNMPMessage::extractValueStringFromMessage(m, index);
        (void)SNMPMessage::extractValueDataFromMessage(m, index);
        (void)SNMPMessage::convertOIDDataToString(m);
        (void)SNMPMessage::extractRequestIdFromMessage(m);
        // Every location lies inside the message: a long-form length field
        // never points its reader outside.
        for (const auto& at : SNMPMessage::extractAllOIDPositionAndLengthFromMessage(m))
            if (at[0] >= m->size() || at[1] >= m->size() || at[0] >= at[1])
                __builtin_trap();
        if (const auto first = SNMPMessage::firstBindingLocation(m))
            if ((*first)[0] >= m->size() || (*first)[1] >= m->size() || (*first)[0] >= (*first)[1])
                __builtin_trap();
        uint8_t pos = 0, lenIdx = 0;
        uint64_t len = 0;
        SNMPMessage::extractOIDPositionAndLengthFromMessage(m, pos, lenIdx, len);
        (void)SNMPMessage::extractValueStringFromMessage(m, len + lenIdx + 1, type);
        if (type != 2 && type != 4 && type != 5 && type != 6)
            __builtin_trap();
        std::string sysID, text, oid;
        std::vector<uint8_t> bytes;
        std::vector<std::string> oids, values;
        const std::optional<std::string> community = std::string("public");
        SNMPMessage::extractSysIDFromMsg(m, sysID);
        (void)SNMPMessage::extractDataFromMsg(m, community, bytes);
        (void)SNMPMessage::extractStringFromMsg(m, community, text);
        (void)SNMPMessage::extractStringFromMsg(m, community, oid, text);
        SNMPMessage::extractAllStringsFromMsg(m, community, oids, values);
        if (oids.size() != values.size())
            __builtin_trap();
    }
    return 0;
}
