// The whole decode-and-store path of an SNMP answer on arbitrary bytes: the
// first byte chooses iType (2 or 4) and the MAC form, the rest is the
// datagram, as PdeSnmpGet hands it over after the request id matched.
#include "PdeSnmpGet.h"
#include "SNMPMessage.h"
#include "Utf8.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const int32_t iType = (data[0] & 1) ? 4 : 2;
    const int32_t rtnCharFlag = (data[0] & 2) ? 1 : 0;
    const std::vector<uint8_t> answer(data + 1, data + size);
    UResult u;
    uint8_t type = 0xEE;
    const int32_t status = decodeSnmpAnswer(answer, u, iType, rtnCharFlag, type);

    if (status != kSnmpOk && status != kSnmpNullValue && status != kSnmpUnknownType)
        __builtin_trap();
    // The area always ends in NUL; a failure leaves it untouched.
    if (u.bytes.back() != 0)
        __builtin_trap();
    if (status != kSnmpOk) {
        for (uint8_t b : u.bytes)
            if (b != 0)
                __builtin_trap();
        return 0;
    }
    if (type != 2 && type != 4 && type != 6)
        __builtin_trap();
    // Text stored without the MAC form is cut at a character boundary, and a
    // hex form at a whole group.
    const std::string text = u.string();
    if (type == 4 && rtnCharFlag == 0) {
        if (!isValidUtf8(text))
            __builtin_trap();
        // The value is found where the worker finds it: past the first
        // binding's OID, at any position.
        // With none, text was asked for and nothing could be read: it is empty.
        const auto location = SNMPMessage::firstBindingLocation(&answer);
        if (!location) {
            if (!text.empty())
                __builtin_trap();
            return 0;
        }
        const uint64_t at = (*location)[1] + (*location)[2] + 1;
        const auto raw = SNMPMessage::extractValueDataFromMessage(&answer, at);
        const bool hexForm = at < answer.size() && answer[at] == 0x04 && raw && SNMPMessage::rendersAsHexPairs(*raw);
        if (hexForm && !text.empty() && (text.back() == '-' || text.size() % 3 != 2))
            __builtin_trap();
    }
    return 0;
}
