#include "Text.h"

#include <limits>

bool isValidUtf8(std::string_view bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        // Lead byte: sequence length and the allowed range of the second byte,
        // which is what rules out overlong forms, surrogates and > U+10FFFF.
        int len;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0)
                lo = 0xA0;
            else if (c == 0xED)
                hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0)
                lo = 0x90;
            else if (c == 0xF4)
                hi = 0x8F;
        } else {
            return false;
        }
        if (end - p < len)
            return false;
        if (p[1] < lo || p[1] > hi)
            return false;
        for (int i = 2; i < len; ++i)
            if (p[i] < 0x80 || p[i] > 0xBF)
                return false;
        p += len;
    }
    return true;
}

std::string latin1ToUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

namespace {

template <typename Int>
Int leadingNumber(std::string_view text)
{
    std::size_t i = 0;
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
    while (i < text.size() && isSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate toward the sign so that the smallest value is reachable, and
    // clamp instead of overflowing.
    Int value = 0;
    const Int limit = negative ? std::numeric_limits<Int>::min() : std::numeric_limits<Int>::max();
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const Int digit = static_cast<Int>(text[i] - '0');
        if (negative) {
            if (value < (limit + digit) / 10)
                return limit;
            value = static_cast<Int>(value * 10 - digit);
        } else {
            if (value > (limit - digit) / 10)
                return limit;
            value = static_cast<Int>(value * 10 + digit);
        }
    }
    return value;
}

}  // namespace

int32_t leadingInt32(std::string_view text) { return leadingNumber<int32_t>(text); }
int64_t leadingInt64(std::string_view text) { return leadingNumber<int64_t>(text); }
