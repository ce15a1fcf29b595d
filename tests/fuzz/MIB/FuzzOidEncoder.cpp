// The OID encoder and the request builder on arbitrary text: the input is cut
// at its first NUL into a community and an OID.
#include "MIBConnection.h"
#include "SNMPMessage.h"

#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = text.find('\0');
    const std::string oid = cut == std::string::npos ? text : text.substr(cut + 1);
    const std::string community = cut == std::string::npos ? std::string("public") : text.substr(0, cut);

    std::vector<uint8_t> bytes;
    const auto count = SNMPMessage::copyOid(text, bytes);
    if (count && (*count == 0 || *count > bytes.size() || *count != SNMPMessage::getVarbindOIDLength(text)))
        __builtin_trap();
    // What is encoded must read back as the same text.
    if (count && text[0] == '1' && text[2] == '3') {
        const std::vector<uint8_t> encoded(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(*count));
        const auto back = SNMPMessage::convertOIDDataToString(&encoded);
        if (!back)
            __builtin_trap();
    }

    MIBConnection conn;
    const bool built = conn.requestGenericWithSingleResponse(community, nullptr, oid, 258);
    if (built && !conn.msg().isSnmpValid())
        __builtin_trap();
    return 0;
}
