#pragma once
// Text conversions the request and reply strings rely on.

#include "Utf8.h"

#include <cstdint>
#include <string>
#include <string_view>

// The system's default 8-bit encoding (ISO-8859-1): each byte one character,
// written as UTF-8.
std::string latin1ToUtf8(std::string_view bytes);

// The leading-number rule: white space skipped, an optional sign, decimal
// digits up to the first other character; no digits reads as 0; values beyond
// the range read as its nearest limit.
int32_t leadingInt32(std::string_view text);
int64_t leadingInt64(std::string_view text);
