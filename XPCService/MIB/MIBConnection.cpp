#include "MIBConnection.h"

bool MIBConnection::requestGenericWithSingleResponse(const std::optional<std::string>& community,
                                                     const void* /*userData*/, const std::optional<std::string>& oid,
                                                     uint16_t requestID)
{
    // One request per connection: whatever the first call answers, it is used.
    if (reqType_ != kReqTypeNone)
        return false;
    reqType_ = kReqTypeGeneric;
    if (!requestIdentifier_)
        requestIdentifier_ = requestID;

    // The OID and the community are the setters that can refuse, so they go
    // first: a refused request leaves nothing to write.
    if (!community || community->empty() || !oid || !msg_.setVarbindOidsWithNilValues({*oid}) ||
        !msg_.setCommunityString(*community))
        return false;
    // The lengths handed to the sequence and PDU setters are those of a
    // one-binding request with an 8-byte OID; the writer recomputes them all.
    msg_.setMessageSequenceLength(static_cast<uint8_t>(community->size() + 33));
    msg_.setVersion(0);
    msg_.setPdu(0xA0, 26);
    // The request id goes out low byte first, as the agent echoes it back.
    msg_.setRequestId({static_cast<uint8_t>(requestID & 0xFF), static_cast<uint8_t>(requestID >> 8)}, 0x02, 2);
    msg_.setError(0);
    msg_.setErrorIndex(0);
    msg_.setVarbindListSequenceLength(14);
    msg_.setVarbindSequenceLength(12);
    msg_.writeSnmpMessageToData();
    // A message that failed its own length test has nothing to send.
    return !msg_.data()->empty();
}
