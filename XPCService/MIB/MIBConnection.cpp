#include "MIBConnection.h"

MIBConnection::MIBConnection()
{
    replyArray_.reserve(1);
    baseVarbindObjectIdentifier_.reserve(1);
}

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

    if (!community || community->empty() || community->size() > 255 || !oid)
        return false;
    // Refuse an OID without an encoding before anything is filled in, so a
    // refused request leaves the message untouched.
    std::vector<uint8_t> scratch;
    if (!SNMPMessage::copyOid(*oid, scratch))
        return false;

    // The lengths handed to the sequence and PDU setters are those of a
    // one-binding request with an 8-byte OID; the writer recomputes them all.
    msg_.setMessageSequenceLength(static_cast<uint8_t>(community->size() + 33));
    msg_.setVersion(0);
    msg_.setCommunityString(*community);
    msg_.setPdu(0xA0, 26);
    // The request id goes out low byte first, as the agent echoes it back.
    msg_.setRequestId({static_cast<uint8_t>(requestID & 0xFF), static_cast<uint8_t>(requestID >> 8)}, 0x02, 2);
    msg_.setError(0);
    msg_.setErrorIndex(0);
    msg_.setVarbindListSequenceLength(14);
    msg_.setVarbindSequenceLength(12);
    if (!msg_.setVarbindOidsWithNilValues({*oid}))
        return false;
    msg_.writeSnmpMessageToData();
    // A message that failed its own length test has nothing to send.
    return !msg_.data()->empty();
}

const std::vector<uint8_t>& MIBConnection::getRawDataCopy() const { return rawDataCopy_; }

const SNMPMessage& MIBConnection::msg() const { return msg_; }
