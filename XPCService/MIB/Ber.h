#pragma once
// BER as the SNMP messages use it: the one reader of lengths and element
// headers, the size and header rule of the builder, and the rendering of a
// value as the reply shows it. Internal to XPCService/MIB. Every read takes a
// cursor and an end and never looks at a byte at or past the end.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ber {

// Tags known by name.
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kNull = 0x05;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kIpAddress = 0x40;
constexpr uint8_t kCounter = 0x41;
constexpr uint8_t kGauge = 0x42;
constexpr uint8_t kTimeTicks = 0x43;
constexpr uint8_t kUnsigned = 0x47;
constexpr uint8_t kGetRequest = 0xA0;
constexpr uint8_t kGetNextRequest = 0xA1;

// --- writing: the one form the builder uses ----------------------------------

// The longest content length a written header can carry (82 hh ll).
constexpr uint32_t kMaxWrittenLength = 0xFFFF;

// Tag and length field as the builder writes them: a one-byte length up to
// 127, else 82 and two bytes (also for 128 to 255, which every reader takes).
constexpr uint64_t headerSize(uint64_t contentLength) { return contentLength <= 127 ? 2 : 4; }

// The whole element: header and content. In 64 bits, so no sum of sizes wraps.
constexpr uint64_t elementSize(uint64_t contentLength) { return headerSize(contentLength) + contentLength; }

// Appends the header headerSize describes.
void appendHeader(std::vector<uint8_t>& out, uint8_t tag, uint16_t length);

// --- reading: every form a sender may use -------------------------------------

// The length field at cur: the short form 00-7F, or 81 to 84 followed by that
// many bytes, big-endian, also when fewer would do (83 00 00 05 is 5). Moves
// cur past the field. None, cur unmoved, for the indefinite form 80, for 85
// and above (no 32-bit length needs them), and for a field that runs into end.
std::optional<uint32_t> readLength(const uint8_t*& cur, const uint8_t* end);

// A tag and the length its field says, the cursor moved past both. None,
// cursor unmoved, when there is no byte at cur or the length cannot be read.
struct Header {
    uint8_t tag;
    uint32_t length;
};
std::optional<Header> readHeader(const uint8_t*& cur, const uint8_t* end);

// One element: its tag and its content bytes [content, contentEnd); the
// length field's last byte lies just before content.
struct Element {
    uint8_t tag;
    const uint8_t* content;
    const uint8_t* contentEnd;
};

// Whether an element's content must lie wholly before end, or may be cut by
// it: a container (SEQUENCE, PDU) of a datagram that the receive buffer cut
// short still names its first fields, so it keeps what is there.
enum class Fit { Whole, MayBeCut };

// Reads the element at cur and moves cur past it. None, cur unmoved, when
// there is no byte at cur, its length cannot be read, or its content runs
// into end (with Fit::Whole).
std::optional<Element> readElement(const uint8_t*& cur, const uint8_t* end, Fit fit = Fit::Whole);

// Big-endian content bytes in 64 bits, so only the last eight count; when
// isSigned, a negative first byte extends its sign. No bytes read as 0.
uint64_t integerBits(const uint8_t* cur, const uint8_t* end, bool isSigned);

// --- rendering a value -------------------------------------------------------

// Whether OCTET STRING content is shown as hex pairs joined by "-"
// ("00-1B-..."): exactly when one of its bytes is a control byte.
bool rendersAsHexPairs(const uint8_t* cur, const uint8_t* end);

// Dotted text of OBJECT IDENTIFIER content: "1.3" for a first byte of 2B,
// "0.0" for any other, then one arc per sub-identifier. None for no bytes, an
// unclosed sub-identifier, or one above 2^32-1.
std::optional<std::string> oidText(const uint8_t* cur, const uint8_t* end);

// The value whose tag lies at cur, as text. With typeCode given, it gets the
// type code (2, 4, 6, or 5 for everything else) and the unsigned kinds
// (Counter, Gauge, TimeTicks, 0x47) are rendered; without it they give "".
// None when the value cannot be read: nothing after the tag, content running
// into end, NULL, or an OID that oidText refuses.
std::optional<std::string> renderValue(const uint8_t* cur, const uint8_t* end, uint8_t* typeCode);

}  // namespace ber
