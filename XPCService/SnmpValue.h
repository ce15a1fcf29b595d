#pragma once
// What the request layer and the SNMP get worker hand each other: the
// argument vector, the 256-byte result area and the worker's statuses.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

constexpr std::size_t kArgVectorSize = 512;

// Entry k holds piece k of the request; absent entries are null.
using ArgVector = std::array<std::optional<std::string>, kArgVectorSize>;

// The 256-byte result area: uResult.integer at its start (type 2), or
// uResult.string, NUL-terminated, from its first byte on (types 4 and 6).
struct UResult {
    std::array<uint8_t, 256> bytes{};

    int32_t integer() const
    {
        int32_t v;
        std::memcpy(&v, bytes.data(), sizeof v);
        return v;
    }
    void setInteger(int32_t v) { std::memcpy(bytes.data(), &v, sizeof v); }
    // The bytes up to the first zero byte (the last byte is always zero).
    std::string string() const
    {
        const char* p = reinterpret_cast<const char*>(bytes.data());
        return std::string(p, strnlen(p, bytes.size()));
    }
};

// The worker's statuses, rtn_ExitValue in the reply.
constexpr int32_t kSnmpOk = 0;
constexpr int32_t kSnmpCancelled = -1;      // the call was cancelled
constexpr int32_t kSnmpNoAnswer = -9780;    // nothing built, sent or received
constexpr int32_t kSnmpNullValue = -30896;  // the value is NULL (or unconverted) and iType is not 4
constexpr int32_t kSnmpUnknownType = -50;   // the parser reported a type code it should not
