#pragma once
// The object through which the SNMP get worker has its request built: it owns
// one SNMPMessage, fills it as a v1 GetRequest with one binding, and has it
// written out. It opens no socket, and builds exactly one request in its life.

#include "SNMPMessage.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class MIBConnection {
public:
    // reqType values: fresh, and used by the one generic request.
    static constexpr int32_t kReqTypeNone = 0;
    static constexpr int32_t kReqTypeGeneric = 4;

    // Builds a GetRequest for oid with a NULL value into msg(). Answers no, and
    // writes nothing, when the connection was used before, the community is
    // missing, empty or over 255 bytes, or the OID is missing or has no
    // encoding. Any call marks the connection used. userData is not used.
    bool requestGenericWithSingleResponse(const std::optional<std::string>& community, const void* userData,
                                          const std::optional<std::string>& oid, uint16_t requestID);

    // The connection's own copy buffer; nothing writes it.
    const std::vector<uint8_t>& getRawDataCopy() const { return rawDataCopy_; }

    const SNMPMessage& msg() const { return msg_; }
    int32_t reqType() const { return reqType_; }
    const std::optional<uint16_t>& requestIdentifier() const { return requestIdentifier_; }

private:
    SNMPMessage msg_;
    int32_t reqType_ = kReqTypeNone;
    std::optional<uint16_t> requestIdentifier_;
    std::vector<uint8_t> rawDataCopy_;
};
