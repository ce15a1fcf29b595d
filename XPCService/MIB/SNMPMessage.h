#pragma once
// One SNMP version 1 message as a fixed set of BER elements: the builder that
// lays out a GetRequest, and the stateless readers that take a reply apart.
// Pure code on the standard library alone; nothing here throws on bad input.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// One BER element: tag, content length, content bytes (none for headers).
struct SnmpVar {
    uint8_t type = 0;
    uint32_t length = 0;
    std::optional<std::vector<uint8_t>> value;
};

class SNMPMessage {
public:
    // Where one variable binding lies: OID tag position, OID length byte
    // position, OID length.
    using OidLocation = std::array<uint64_t, 3>;

    // Size of every OID record's buffer, and the longest OID text it takes.
    static constexpr std::size_t kOidBufferSize = 256;

    // --- building ---------------------------------------------------------

    // Releases every OID and value record; no varbinds afterwards.
    void clearVarbind();

    // Stores tag and length; the content becomes a copy of the first `length`
    // bytes of *value (fewer when value holds fewer), or none for nullptr.
    static void setSnmpVar(SnmpVar& record, uint8_t type, uint8_t length, const std::vector<uint8_t>* value);
    // Stores tag and length only; the content stays as it is.
    static void setSnmpVar(SnmpVar& record, uint8_t type, uint8_t length);

    void setMessageSequenceLength(uint8_t length);
    void setVersion(uint8_t version);
    // The community's UTF-8 bytes, whole. Answers false and changes nothing
    // when it has more than 255 bytes (a one-byte length cannot say so).
    bool setCommunityString(const std::string& community);
    void setPdu(uint8_t type, uint8_t length);
    void setRequestId(const std::vector<uint8_t>& bytes, uint8_t type, uint8_t length);
    void setError(uint8_t status);
    void setErrorIndex(uint8_t index);
    void setVarbindListSequenceLength(uint8_t length);
    void setVarbindSequenceLength(uint8_t length);

    // Replaces all varbinds by one per OID text, each with a NULL value.
    // Answers false, and leaves no varbinds, when any OID has no encoding.
    bool setVarbindOidsWithNilValues(const std::vector<std::string>& oids);

    // Encodes dotted OID text into bytes (resized to kOidBufferSize, zero-
    // filled past the encoding). Answers the encoded byte count, or none when
    // the text has no encoding: first or second arc not one digit, fewer than
    // three or more than 255 characters, first byte above 0xFF, an empty arc,
    // an arc above 2^31-1, or a character other than digits and dots.
    static std::optional<uint64_t> copyOid(const std::string& oid, std::vector<uint8_t>& bytes);

    // Writes value in base 128, most significant group first, top bit set on
    // all but the last byte. Answers the byte count (1 to 10).
    static uint64_t seventhBitHasMoreValue(uint64_t value, std::array<uint8_t, 10>& bytes);

    // Bytes the encoded identifier takes: 7-bit groups of every arc, minus one
    // for the shared first byte. No text gives 0. Reads arcs as their leading
    // digits, so it answers something for any text; copyOid decides validity.
    static uint64_t getVarbindOIDLength(const std::optional<std::string>& oid);

    // Appends one element to data. Answers 0, or -1 when the record needs
    // content it does not hold (header written alone) or its length exceeds
    // 65535 (nothing written).
    int64_t copyVar(const SnmpVar& record);

    // Whole element size for a content length: n + 2 up to 127, n + 4 above.
    static int32_t getTotalByteCount(int32_t contentLength);

    // Fills in the lengths of varbind, varbindList, pdu and message.
    void autoComputeLength();

    // True when data's size agrees with the outer length it announces.
    bool isSnmpValid() const;

    // Serialises the whole message into data (emptied first); data stays
    // empty when the message cannot be written whole.
    void writeSnmpMessageToData();

    std::shared_ptr<std::vector<uint8_t>> data() const { return data_; }
    // A null buffer is replaced by a new, empty one.
    void setData(std::shared_ptr<std::vector<uint8_t>> data)
    {
        data_ = data ? std::move(data) : std::make_shared<std::vector<uint8_t>>();
    }

    // Read access to the records.
    const SnmpVar& message() const { return message_; }
    const SnmpVar& version() const { return version_; }
    const SnmpVar& communityString() const { return communityString_; }
    const SnmpVar& pdu() const { return pdu_; }
    const SnmpVar& requestId() const { return requestId_; }
    const SnmpVar& error() const { return error_; }
    const SnmpVar& errorIndex() const { return errorIndex_; }
    const SnmpVar& varbindList() const { return varbindList_; }
    const SnmpVar& varbind() const { return varbind_; }
    int32_t varbindCount() const { return varbindCount_; }
    const std::vector<SnmpVar>& varbindOids() const { return varbindOids_; }
    const std::vector<SnmpVar>& varbindValues() const { return varbindValues_; }

    // --- reading a received message (nullptr = no message) -----------------

    // Every SEQUENCE header directly followed by an OID header (30 xx 06 yy,
    // either length also in a long form of one to four bytes), in message
    // order, as (OID tag position, last byte of the OID length field, OID
    // length).
    static std::vector<OidLocation> extractAllOIDPositionAndLengthFromMessage(const std::vector<uint8_t>* message);

    // The first binding's location: the one the message's structure names,
    // or, in bytes that are no whole message, the scan's first. Writes nothing
    // when there is none, or when its OID length byte lies beyond position
    // 255 (the positions are 8-bit).
    static void extractOIDPositionAndLengthFromMessage(const std::vector<uint8_t>* message, uint8_t& oidPositionIndex,
                                                       uint8_t& oidLengthIndex, uint64_t& oidLengthValue);

    // The same first binding with full positions, however far into the
    // message it lies (a long community pushes it past position 255); none
    // when there is none.
    static std::optional<OidLocation> firstBindingLocation(const std::vector<uint8_t>* message);

    // Dotted text of an OBJECT IDENTIFIER's content bytes; none for no or zero
    // bytes, an unclosed sub-identifier, or one above 2^32-1.
    static std::optional<std::string> convertOIDDataToString(const std::vector<uint8_t>* oidData);

    // The value whose tag lies at valueTypeIndex, as text; type gets the type
    // code (2, 4, 6, or 5 for everything else). None when it cannot be read.
    static std::optional<std::string> extractValueStringFromMessage(const std::vector<uint8_t>* message,
                                                                    uint64_t valueTypeIndex, uint8_t& type);
    // The same without a type code; Counter, Gauge, TimeTicks and 0x47 give "".
    static std::optional<std::string> extractValueStringFromMessage(const std::vector<uint8_t>* message,
                                                                    uint64_t valueTypeIndex);
    // Whether OCTET STRING content is shown as hex pairs joined by "-"
    // ("00-1B-..."): exactly when one of its bytes is a control byte.
    static bool rendersAsHexPairs(const std::vector<uint8_t>& content);

    // The value's content bytes, whatever the tag; none when its length
    // cannot be read or they run past the end.
    static std::optional<std::vector<uint8_t>> extractValueDataFromMessage(const std::vector<uint8_t>* message,
                                                                           uint64_t valueTypeIndex);

    // The request id of a whole v1 message, as a signed number; none when the
    // message cannot be walked as far as that INTEGER.
    static std::optional<int64_t> extractRequestIdFromMessage(const std::vector<uint8_t>* message);

    // Wrappers over the first binding. The community must be present; it is
    // not compared with the message's. Without a binding nothing is stored and
    // the answer is false (sysID: the empty string).
    static void extractSysIDFromMsg(const std::vector<uint8_t>* message, std::string& sysID);
    static bool extractDataFromMsg(const std::vector<uint8_t>* message, const std::optional<std::string>& community,
                                   std::vector<uint8_t>& contents);
    static bool extractStringFromMsg(const std::vector<uint8_t>* message, const std::optional<std::string>& community,
                                     std::string& contents);
    // Appends one (OID, value) text pair per located binding; "" for what
    // cannot be read.
    static void extractAllStringsFromMsg(const std::vector<uint8_t>* message,
                                         const std::optional<std::string>& community, std::vector<std::string>& oids,
                                         std::vector<std::string>& contents);
    static bool extractStringFromMsg(const std::vector<uint8_t>* message, const std::optional<std::string>& community,
                                     std::string& nextOID, std::string& contents);

private:
    // An INTEGER record of one content byte.
    static void setInteger(SnmpVar& record, uint8_t value);
    // Content length of binding k's SEQUENCE: its OID and value elements.
    uint64_t bindingLength(std::size_t k) const;

    SnmpVar message_;
    SnmpVar version_;
    SnmpVar communityString_;
    SnmpVar pdu_;
    SnmpVar requestId_;
    SnmpVar error_;
    SnmpVar errorIndex_;
    SnmpVar varbindList_;
    SnmpVar varbind_;
    int32_t varbindCount_ = 0;
    std::vector<SnmpVar> varbindOids_;
    std::vector<SnmpVar> varbindValues_;
    std::shared_ptr<std::vector<uint8_t>> data_ = std::make_shared<std::vector<uint8_t>>();
};
