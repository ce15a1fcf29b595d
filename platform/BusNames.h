#pragma once
// Names on the bus that the tool and the service of one family must agree on.

#include <string>

// "<service name>.XPC_Protocol<UUID>", the UUID upper-cased with "_" for each "-",
// as one D-Bus interface name.
std::string protocolInterfaceName(const std::string& serviceName, const std::string& protocolUuid);

// The UUID as it appears in per-build names: upper-case, "_" for "-".
std::string uuidIdentifier(const std::string& protocolUuid);

// The one object that the service exports.
inline constexpr const char* kServiceObjectPath = "/";
