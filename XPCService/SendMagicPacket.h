#pragma once
// Wake-on-LAN: one 108-byte magic packet to UDP port 9.

#include <cstdint>
#include <optional>
#include <string>

// Sends one magic packet to ipAddressStr (absent: 255.255.255.255). Answers 0
// when the packet was handed to the socket, -1 when the socket or its
// broadcast option could not be set up.
int32_t SendMagicPacket(const std::optional<std::string>& ipAddressStr,
                        const std::optional<std::string>& macAddressStr,
                        const std::optional<std::string>& passwordStr);
