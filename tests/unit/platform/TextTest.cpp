#include "Text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

TEST(Text, StrictUtf8RejectsOverlongSurrogatesAndBeyondU10FFFF)
{
    struct Case {
        std::string bytes;
        bool valid;
    } cases[] = {
        {"", true},
        {"plain ASCII", true},
        {"\xC3\xA9", true},                  // é
        {"\xE2\x82\xAC", true},              // €
        {"\xF0\x9F\x96\xA8", true},          // U+1F5A8
        {"\xF4\x8F\xBF\xBF", true},          // U+10FFFF
        {"\xC0\xAF", false},                 // overlong "/"
        {"\xE0\x80\xAF", false},             // overlong
        {"\xF0\x80\x80\xAF", false},         // overlong
        {"\xED\xA0\x80", false},             // surrogate U+D800
        {"\xF4\x90\x80\x80", false},         // U+110000
        {"\xC3", false},                     // cut short
        {"\xC3\x28", false},                 // bad continuation
        {"\x80", false},                     // lone continuation
        {"\xFF", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isValidUtf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
}

TEST(Text, DecodesOneCharacterAtAPositionWithItsLength)
{
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x96\xA8\xC3";
    struct Case {
        std::size_t at;
        std::optional<std::pair<char32_t, std::size_t>> found;
    } cases[] = {
        {0, std::make_pair(U'a', std::size_t{1})},
        {1, std::make_pair(char32_t{0xE9}, std::size_t{2})},
        {2, std::nullopt},  // a continuation byte starts nothing
        {3, std::make_pair(char32_t{0x20AC}, std::size_t{3})},
        {6, std::make_pair(char32_t{0x1F5A8}, std::size_t{4})},
        {10, std::nullopt},  // cut short by the end
        {11, std::nullopt},  // outside
    };
    for (const auto& c : cases)
        EXPECT_EQ(decodeUtf8At(text, c.at), c.found) << c.at;
    EXPECT_EQ(utf8CharStartBefore(text, 10), 6u);
    EXPECT_EQ(utf8CharStartBefore(text, 3), 1u);
}

TEST(Text, Latin1TakesEachByteAsOneCharacter)
{
    EXPECT_EQ(latin1ToUtf8("abc"), "abc");
    EXPECT_EQ(latin1ToUtf8("\xAA\xFF"), "\xC2\xAA\xC3\xBF");
    EXPECT_EQ(latin1ToUtf8(std::string("\0x", 2)), std::string("\0x", 2));
}

TEST(Text, LeadingNumberSkipsSpaceReadsSignAndClamps)
{
    struct Case {
        const char* text;
        int32_t v32;
        int64_t v64;
    } cases[] = {
        {"", 0, 0},
        {"NULL", 0, 0},
        {"  42", 42, 42},
        {"\t\n-17x", -17, -17},
        {"+8", 8, 8},
        {"12abc", 12, 12},
        {"- 5", 0, 0},
        {"2147483647", 2147483647, 2147483647},
        {"2147483648", std::numeric_limits<int32_t>::max(), 2147483648LL},
        {"-2147483648", std::numeric_limits<int32_t>::min(), -2147483648LL},
        {"-2147483649", std::numeric_limits<int32_t>::min(), -2147483649LL},
        {"99999999999999999999999", std::numeric_limits<int32_t>::max(), std::numeric_limits<int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<int32_t>::min(), std::numeric_limits<int64_t>::min()},
        {"-9223372036854775809", std::numeric_limits<int32_t>::min(), std::numeric_limits<int64_t>::min()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(leadingInt32(c.text), c.v32) << c.text;
        EXPECT_EQ(leadingInt64(c.text), c.v64) << c.text;
    }
}
