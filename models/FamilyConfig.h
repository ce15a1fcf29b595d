#pragma once
// The constants that make one printer family's build; each family's values
// are generated from its file in build-config/.

#include <cstdint>

enum class ToolOutput : uint8_t { Hex, Plain };     // how the tool prints the SNMP reply line
enum class StringForm : uint8_t { Utf8, Bytes };    // how the service renders uResult.string

struct FamilyConfig {
    const char* family;        // build-config/ name, e.g. "aster"
    const char* serviceName;   // reverse-DNS bus name
    const char* protocolUuid;  // upper-case, hyphenated
    ToolOutput toolOutput;
    StringForm stringForm;
};

extern const FamilyConfig kFamily;
