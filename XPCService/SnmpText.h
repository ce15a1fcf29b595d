#pragma once
// Text rules of the SNMP get worker: the host text it resolves and the forms
// it stores a value in.

#include <cstddef>
#include <optional>
#include <string>

// The host text with white space (space, tab, Unicode space separators)
// stripped from both ends, then line breaks (U+000A-U+000D, U+0085, U+2028,
// U+2029), one pass each.
std::string trimHostText(const std::string& host);

// A text value in MAC-address form "xx:xx:xx:xx:xx:xx", chosen by its length
// (17: pairs after each separator; 16: after four spaces; 12: plain pairs);
// none for any other length.
std::optional<std::string> macAddressForm(const std::string& text);

// A hex form "00-1B-2C-..." cut to at most maxBytes at a whole group, so it
// never ends in "-" or half a group.
std::string cutHexForm(const std::string& text, std::size_t maxBytes);
