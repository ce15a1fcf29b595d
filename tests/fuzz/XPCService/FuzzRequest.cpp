// The request cutting of all six entry points, and the SNMP reply built from
// whatever bytes the result area holds, on arbitrary input.
#include "Request.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string request(reinterpret_cast<const char*>(data), size);
    if (auto snmp = cutSnmpRequest(request)) {
        if (snmp->pieces.size() > kArgVectorSize)
            __builtin_trap();
        (void)argVectorFrom(snmp->pieces);
    }
    (void)cutPlistWriteRequest(request);
    (void)cutMagicPacketRequest(request);
    (void)cutEchoRequest(request);
    (void)cutCancelRequest(request);

    UResult result;
    for (size_t i = 0; i < size && i < result.bytes.size() - 1; ++i)
        result.bytes[i] = data[i];
    const uint8_t type = size > 0 ? data[0] % 8 : 4;
    for (StringForm form : {StringForm::Utf8, StringForm::Bytes})
        (void)snmpReply(0, type, result, form);
    return 0;
}
