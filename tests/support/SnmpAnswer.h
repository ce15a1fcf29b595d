#pragma once
// Builds SNMP v1 answers as agents send them: valid BER throughout, each
// length in the shortest form (one byte up to 127, 81 n up to 255, 82 n n
// above) unless a test asks for a wider long form (83 n n n, 84 n n n n and
// the like, which some agents write even where fewer bytes would do), and
// checks what a read stored. Shared by the unit tests and the tests against
// real and fake agents.

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What a read should answer: its status, the value type it reports, and the
// stored value (an integer when one is given, else the text).
struct ExpectedValue {
    int32_t status;
    uint8_t type;
    std::optional<int32_t> integer;
    std::string text;
};

// One row of a table of reads from an agent: the OID asked for, the call's
// value type and MAC-form flag, and what the read should answer.
struct OidReadCase {
    const char* name;
    const char* oid;
    int32_t iType;
    int32_t rtnCharFlag;
    ExpectedValue expected;
};

// Checks a read's status, reported type and stored value (a UResult) against
// expected; the result area always ends in a NUL.
template <typename Result>
void expectStored(const ExpectedValue& expected, int32_t status, uint8_t type, const Result& result)
{
    EXPECT_EQ(status, expected.status);
    EXPECT_EQ(type, expected.type);
    if (expected.integer)
        EXPECT_EQ(result.integer(), *expected.integer);
    else
        EXPECT_EQ(result.string(), expected.text);
    EXPECT_EQ(result.bytes.back(), 0);
}

// The length field for n content bytes: the shortest form when longBytes is
// 0, else the long form 8x with at least longBytes bytes (1 to 4; more when n
// needs them), big-endian with leading zeros.
inline std::vector<uint8_t> berLength(std::size_t n, int longBytes = 0)
{
    int needed = 0;
    for (std::size_t rest = n; rest != 0; rest >>= 8)
        ++needed;
    if (longBytes == 0) {
        if (n <= 127)
            return {static_cast<uint8_t>(n)};
        longBytes = needed;
    }
    const int count = longBytes > needed ? longBytes : needed;
    std::vector<uint8_t> out{static_cast<uint8_t>(0x80 | count)};
    for (int k = count - 1; k >= 0; --k)
        out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(n) >> (8 * k)));
    return out;
}

// One element: tag, length (as berLength writes it), content.
inline std::vector<uint8_t> berElement(uint8_t tag, const std::vector<uint8_t>& content, int longBytes = 0)
{
    std::vector<uint8_t> out{tag};
    const auto length = berLength(content.size(), longBytes);
    out.insert(out.end(), length.begin(), length.end());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

inline std::vector<uint8_t> berElement(uint8_t tag, const std::string& content, int longBytes = 0)
{
    return berElement(tag, std::vector<uint8_t>(content.begin(), content.end()), longBytes);
}

// An OCTET STRING element holding content.
inline std::vector<uint8_t> berOctets(const std::string& content, int longBytes = 0)
{
    return berElement(0x04, content, longBytes);
}

// A signed INTEGER in its fewest bytes (two's complement, big-endian).
inline std::vector<uint8_t> berInteger(int64_t v, uint8_t tag = 0x02, int longBytes = 0)
{
    std::vector<uint8_t> bytes;
    for (int shift = 56; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<uint8_t>(static_cast<uint64_t>(v) >> shift));
    while (bytes.size() > 1 && ((bytes[0] == 0x00 && !(bytes[1] & 0x80)) || (bytes[0] == 0xFF && (bytes[1] & 0x80))))
        bytes.erase(bytes.begin());
    return berElement(tag, bytes, longBytes);
}

// An unsigned 32-bit kind (Counter 0x41, Gauge 0x42, TimeTicks 0x43, 0x47),
// encoded as agents do: a leading zero byte when the top bit is set.
inline std::vector<uint8_t> berUnsigned(uint8_t tag, uint32_t v, int longBytes = 0)
{
    return berInteger(static_cast<int64_t>(v), tag, longBytes);
}

inline std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The encoded OID of sysDescr.0, 1.3.6.1.2.1.1.1.0.
inline const std::vector<uint8_t> kSysDescrOid{0x2B, 6, 1, 2, 1, 1, 1, 0};

// The parts of an answer around its value, each of which a test may give a
// wider length form.
enum class AnswerPart : std::size_t {
    Message,
    Version,
    Community,
    Pdu,
    RequestId,
    ErrorStatus,
    ErrorIndex,
    BindingList,
    Binding,
    Oid,
    Count
};

// The long-form byte count (see berLength) of each part's length; 0 keeps the
// shortest form.
struct AnswerForms {
    std::array<int, static_cast<std::size_t>(AnswerPart::Count)> longBytes{};

    AnswerForms& wide(AnswerPart part, int bytes)
    {
        longBytes[static_cast<std::size_t>(part)] = bytes;
        return *this;
    }
    int operator[](AnswerPart part) const { return longBytes[static_cast<std::size_t>(part)]; }
};

// Every part in the long form of the same width.
inline AnswerForms allWide(int bytes)
{
    AnswerForms forms;
    forms.longBytes.fill(bytes);
    return forms;
}

// A GetResponse (0xA2) with one binding of oid (encoded content bytes) and
// value (a whole element: tag, length, content), each length in the form
// forms gives.
inline std::vector<uint8_t> snmpAnswer(const std::vector<uint8_t>& oid, const std::vector<uint8_t>& value,
                                       int64_t requestId = 0x1234, const std::string& community = "public",
                                       const AnswerForms& forms = AnswerForms())
{
    using P = AnswerPart;
    const auto binding = berElement(0x30, concat({berElement(0x06, oid, forms[P::Oid]), value}), forms[P::Binding]);
    const auto pdu = berElement(0xA2,
                                concat({berInteger(requestId, 0x02, forms[P::RequestId]),
                                        berInteger(0, 0x02, forms[P::ErrorStatus]),
                                        berInteger(0, 0x02, forms[P::ErrorIndex]),
                                        berElement(0x30, binding, forms[P::BindingList])}),
                                forms[P::Pdu]);
    return berElement(0x30,
                      concat({berInteger(0, 0x02, forms[P::Version]), berElement(0x04, community, forms[P::Community]),
                              pdu}),
                      forms[P::Message]);
}
