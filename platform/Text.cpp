#include "Text.h"

#include <limits>

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
