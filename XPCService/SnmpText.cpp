#include "SnmpText.h"

#include "Utf8.h"

#include <string_view>

namespace {

template <typename Pred>
std::string_view trimBoth(std::string_view text, Pred inSet)
{
    while (!text.empty()) {
        const auto c = decodeUtf8At(text, 0);
        if (!c || !inSet(c->first))
            break;
        text.remove_prefix(c->second);
    }
    while (!text.empty()) {
        const std::size_t start = utf8CharStartBefore(text, text.size());
        const auto c = decodeUtf8At(text, start);
        if (!c || start + c->second != text.size() || !inSet(c->first))
            break;
        text.remove_suffix(text.size() - start);
    }
    return text;
}

bool isWhiteSpace(char32_t c)
{
    return c == U' ' || c == U'\t' || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

bool isLineBreak(char32_t c) { return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029; }

}  // namespace

std::string trimHostText(const std::string& host)
{
    return std::string(trimBoth(trimBoth(host, isWhiteSpace), isLineBreak));
}

std::optional<std::string> macAddressForm(const std::string& text)
{
    static constexpr std::size_t k17[] = {0, 3, 6, 9, 12, 15};
    static constexpr std::size_t k16[] = {4, 6, 8, 10, 12, 14};
    static constexpr std::size_t k12[] = {0, 2, 4, 6, 8, 10};
    const std::size_t* pairs = text.size() == 17 ? k17 : text.size() == 16 ? k16 : text.size() == 12 ? k12 : nullptr;
    if (pairs == nullptr)
        return std::nullopt;
    std::string form;
    for (std::size_t i = 0; i < 6; ++i) {
        if (i > 0)
            form += ':';
        form += text[pairs[i]];
        form += text[pairs[i] + 1];
    }
    return form;
}

std::string cutHexForm(const std::string& text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return text;
    // Groups are "XX-": k whole groups take 3k - 1 bytes without the last dash.
    const std::size_t groups = (maxBytes + 1) / 3;
    return groups == 0 ? std::string() : text.substr(0, 3 * groups - 1);
}
