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

    MIBConnection();

    // Builds a GetRequest for oid with a NULL value into msg(). Answers no, and
    // builds nothing, when the connection was used before, the community is
    // missing, empty or over 255 bytes, or the OID is missing or has no
    // encoding. Any call marks the connection used. userData is not used.
    bool requestGenericWithSingleResponse(const std::optional<std::string>& community, const void* userData,
                                          const std::optional<std::string>& oid, uint16_t requestID);

    // The connection's own copy buffer; nothing writes it.
    const std::vector<uint8_t>& getRawDataCopy() const;

    const SNMPMessage& msg() const;
    int32_t reqType() const { return reqType_; }
    const std::optional<uint16_t>& requestIdentifier() const { return requestIdentifier_; }
    const std::optional<std::string>& reqHostName() const { return reqHostName_; }
    const std::optional<std::string>& reqCommunityName() const { return reqCommunityName_; }
    const void* reqUserData() const { return reqUserData_; }
    const std::string& replyInfo() const { return replyInfo_; }
    const std::vector<std::string>& replyArray() const { return replyArray_; }
    const std::string& baseVarbindObjectIdentifier() const { return baseVarbindObjectIdentifier_; }

private:
    SNMPMessage msg_;
    // Declared for the request's host, community and user data; nothing fills them.
    std::optional<std::string> reqHostName_;
    std::optional<std::string> reqCommunityName_;
    const void* reqUserData_ = nullptr;
    std::string replyInfo_;
    std::vector<std::string> replyArray_;
    int32_t reqType_ = kReqTypeNone;
    std::string baseVarbindObjectIdentifier_;
    std::optional<uint16_t> requestIdentifier_;
    std::vector<uint8_t> rawDataCopy_;
};
