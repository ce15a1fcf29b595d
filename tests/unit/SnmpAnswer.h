#pragma once
// Builds SNMP v1 answers as agents send them: valid BER throughout, each
// length in the shortest form (one byte up to 127, 81 n up to 255, 82 n n
// above), and checks what a read stored. Shared by the unit tests and the
// tests against real and fake agents.

#include "SnmpValue.h"

#include <gtest/gtest.h>

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

// Checks a read's status, reported type and stored value against expected;
// the result area always ends in a NUL.
inline void expectStored(const ExpectedValue& expected, int32_t status, uint8_t type, const UResult& result)
{
    EXPECT_EQ(status, expected.status);
    EXPECT_EQ(type, expected.type);
    if (expected.integer)
        EXPECT_EQ(result.integer(), *expected.integer);
    else
        EXPECT_EQ(result.string(), expected.text);
    EXPECT_EQ(result.bytes.back(), 0);
}

// One element: tag, length, content.
inline std::vector<uint8_t> berElement(uint8_t tag, const std::vector<uint8_t>& content)
{
    std::vector<uint8_t> out{tag};
    const std::size_t n = content.size();
    if (n <= 127) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n <= 0xFF) {
        out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
    } else {
        out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n & 0xFF)});
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

inline std::vector<uint8_t> berElement(uint8_t tag, const std::string& content)
{
    return berElement(tag, std::vector<uint8_t>(content.begin(), content.end()));
}

// An OCTET STRING element holding content.
inline std::vector<uint8_t> berOctets(const std::string& content) { return berElement(0x04, content); }

// A signed INTEGER in its fewest bytes (two's complement, big-endian).
inline std::vector<uint8_t> berInteger(int64_t v, uint8_t tag = 0x02)
{
    std::vector<uint8_t> bytes;
    for (int shift = 56; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<uint8_t>(static_cast<uint64_t>(v) >> shift));
    while (bytes.size() > 1 && ((bytes[0] == 0x00 && !(bytes[1] & 0x80)) || (bytes[0] == 0xFF && (bytes[1] & 0x80))))
        bytes.erase(bytes.begin());
    return berElement(tag, bytes);
}

// An unsigned 32-bit kind (Counter 0x41, Gauge 0x42, TimeTicks 0x43, 0x47),
// encoded as agents do: a leading zero byte when the top bit is set.
inline std::vector<uint8_t> berUnsigned(uint8_t tag, uint32_t v) { return berInteger(static_cast<int64_t>(v), tag); }

inline std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The encoded OID of sysDescr.0, 1.3.6.1.2.1.1.1.0.
inline const std::vector<uint8_t> kSysDescrOid{0x2B, 6, 1, 2, 1, 1, 1, 0};

// A GetResponse (0xA2) with one binding of oid (encoded content bytes) and
// value (a whole element: tag, length, content).
inline std::vector<uint8_t> snmpAnswer(const std::vector<uint8_t>& oid, const std::vector<uint8_t>& value,
                                       int64_t requestId = 0x1234, const std::string& community = "public")
{
    const auto binding = berElement(0x30, concat({berElement(0x06, oid), value}));
    const auto pdu = berElement(0xA2, concat({berInteger(requestId), berInteger(0), berInteger(0),
                                              berElement(0x30, binding)}));
    return berElement(0x30, concat({berInteger(0), berElement(0x04, community), pdu}));
}
