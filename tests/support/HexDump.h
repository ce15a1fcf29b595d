#pragma once
// Byte-vector comparison for BER tests: on mismatch both buffers are shown as
// a hex dump, sixteen bytes a line, with the first differing offset.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

inline std::string hexDump(const std::vector<uint8_t>& bytes)
{
    std::string out;
    char buf[32];
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        if (k % 16 == 0) {
            std::snprintf(buf, sizeof buf, "%s%04zx:", k ? "\n" : "", k);
            out += buf;
        }
        std::snprintf(buf, sizeof buf, " %02X", bytes[k]);
        out += buf;
    }
    return out.empty() ? "(empty)" : out;
}

// The same for bytes held in a string (file contents and the like).
inline std::string hexDump(const std::string& bytes) { return hexDump(std::vector<uint8_t>(bytes.begin(), bytes.end())); }

// Parses "30 27 02 ..." (any white space between pairs) into bytes.
inline std::vector<uint8_t> hexBytes(const std::string& text)
{
    std::vector<uint8_t> out;
    std::string pair;
    for (char c : text) {
        if (c == ' ' || c == '\n' || c == '\t')
            continue;
        pair += c;
        if (pair.size() == 2) {
            out.push_back(static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
            pair.clear();
        }
    }
    return out;
}

inline testing::AssertionResult bytesEqual(const char* expectedExpr, const char* actualExpr,
                                           const std::vector<uint8_t>& expected, const std::vector<uint8_t>& actual)
{
    if (expected == actual)
        return testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at])
        ++at;
    return testing::AssertionFailure() << actualExpr << " differs from " << expectedExpr << " at offset " << at
                                       << " (sizes " << expected.size() << " and " << actual.size() << ")\n"
                                       << "expected:\n"
                                       << hexDump(expected) << "\nactual:\n"
                                       << hexDump(actual);
}

#define EXPECT_BYTES(expected, actual) EXPECT_PRED_FORMAT2(bytesEqual, expected, actual)
#define ASSERT_BYTES(expected, actual) ASSERT_PRED_FORMAT2(bytesEqual, expected, actual)
