#pragma once
// The SNMP get worker: one v1 GetRequest for one OID, one datagram out, one
// bounded wait, the first variable binding of the answer decoded.

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

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
constexpr int32_t kSnmpCancelled = -1;      // gCancelFlag was raised
constexpr int32_t kSnmpNoAnswer = -9780;    // nothing built, sent or received
constexpr int32_t kSnmpNullValue = -30896;  // the value is NULL (or unconverted) and iType is not 4
constexpr int32_t kSnmpUnknownType = -50;   // the parser reported a type code it should not

// Reads entries 3 (community), 6 (IPv4 address) and 7 (OID) of args. On
// status 0, uResult holds the value and valueType its type code (2, 4 or 6);
// the type is also stored in gtype. Blocks for about gSnmpTimeout ms at most,
// and returns -1 within about 30 ms of gCancelFlag being raised.
int32_t PdeSnmpGet(const ArgVector& args, UResult& uResult, int32_t iType, int32_t rtnCharFlag,
                   uint8_t& valueType);

// --- pure steps of the worker, exposed for tests ---------------------------

// The host text with white space (space, tab, Unicode space separators)
// stripped from both ends, then line breaks (U+000A-U+000D, U+0085, U+2028,
// U+2029), one pass each.
std::string trimHostText(const std::string& host);

// A text value in MAC-address form "xx:xx:xx:xx:xx:xx", chosen by its length
// (17: pairs after each separator; 16: after four spaces; 12: plain pairs);
// none for any other length.
std::optional<std::string> macAddressForm(const std::string& text);

// Cuts text to at most maxBytes bytes, never inside a UTF-8 character.
std::string cutAtUtf8Boundary(const std::string& text, std::size_t maxBytes);

// Decodes the first binding of a received answer into uResult and valueType
// by the type rules of the worker, answering its status (0, -30896 or -50).
int32_t decodeSnmpAnswer(const std::vector<uint8_t>& answer, UResult& uResult, int32_t iType, int32_t rtnCharFlag,
                         uint8_t& valueType);
