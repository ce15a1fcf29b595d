#pragma once
// Strict UTF-8 (RFC 3629) for every layer that reads text: no overlong forms,
// no surrogates, nothing above U+10FFFF, no sequence cut short. Header-only
// and on the standard library alone, so the MIB layer can use it too.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

// The character that starts at text[i] and its length in bytes; none when no
// valid character starts there (or i lies outside the text).
inline std::optional<std::pair<char32_t, std::size_t>> decodeUtf8At(std::string_view text, std::size_t i)
{
    if (i >= text.size())
        return std::nullopt;
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80)
        return std::make_pair(static_cast<char32_t>(b), std::size_t{1});
    // The lead byte fixes the length and the allowed range of the second
    // byte, which is what rules out overlong forms, surrogates and > U+10FFFF.
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t c;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2, c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3, c = b & 0x0F;
        if (b == 0xE0)
            lo = 0xA0;
        else if (b == 0xED)
            hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4, c = b & 0x07;
        if (b == 0xF0)
            lo = 0x90;
        else if (b == 0xF4)
            hi = 0x8F;
    } else {
        return std::nullopt;
    }
    if (text.size() - i < n)
        return std::nullopt;
    for (std::size_t k = 1; k < n; ++k) {
        const auto t = static_cast<unsigned char>(text[i + k]);
        if (t < (k == 1 ? lo : 0x80) || t > (k == 1 ? hi : 0xBF))
            return std::nullopt;
        c = (c << 6) | (t & 0x3F);
    }
    return std::make_pair(c, n);
}

inline bool isValidUtf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto c = decodeUtf8At(text, i);
        if (!c)
            return false;
        i += c->second;
    }
    return true;
}

// Start of the character that ends just before position end (end > 0): at
// most three continuation bytes are stepped back over.
inline std::size_t utf8CharStartBefore(std::string_view text, std::size_t end)
{
    std::size_t i = end - 1;
    while (i > 0 && end - i < 4 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
        --i;
    return i;
}

// The text cut to at most maxBytes bytes, never inside a character.
inline std::string cutAtUtf8Boundary(const std::string& text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return text;
    std::size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return text.substr(0, cut);
}
