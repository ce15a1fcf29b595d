// Every reading operation of SNMPMessage on arbitrary bytes, the long-form
// length readers and the structure walk included. The first eight
// bytes choose the value index; the rest is the message.
#include "SNMPMessage.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

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
