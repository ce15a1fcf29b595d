// The request cutting of all six entry points, and the SNMP reply built from
// whatever bytes the result area holds, on arbitrary input. Every time-out
// cut from a request goes through the waits that take it, so that one too
// long for them shows as undefined behaviour under UBSan.
#include "DescriptorBudget.h"
#include "Request.h"
#include "Wait.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace {

void waitsTake(int64_t timeoutMs)
{
    static DescriptorBudget budget(64);
    if (timeoutMs > kLongestTimeoutMs)
        __builtin_trap();
    // Descriptors are free, so neither waits: each only takes its deadline.
    (void)budget.acquire(2, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs));
    (void)deadlineAfter(timeoutMs);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string request(reinterpret_cast<const char*>(data), size);
    if (auto snmp = cutSnmpRequest(request)) {
        if (snmp->pieces.size() > kArgVectorSize)
            __builtin_trap();
        waitsTake(snmp->snmpTimeout);
        (void)argVectorFrom(snmp->pieces);
    }
    if (auto echo = cutEchoRequest(request))
        waitsTake(echo->timeoutMsec);
    (void)cutPlistWriteRequest(request);
    (void)cutMagicPacketRequest(request);
    (void)cutCancelRequest(request);

    UResult result;
    for (size_t i = 0; i < size && i < result.bytes.size() - 1; ++i)
        result.bytes[i] = data[i];
    const uint8_t type = size > 0 ? data[0] % 8 : 4;
    for (StringForm form : {StringForm::Utf8, StringForm::Bytes})
        (void)snmpReply(0, type, result, form);
    return 0;
}
