#pragma once
// Wake-on-LAN: one 108-byte magic packet to UDP port 9.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

constexpr std::size_t kMagicPacketSize = 108;
using MagicPacket = std::array<uint8_t, kMagicPacketSize>;

// Six ":"-separated groups, each read like "%x" (white space, sign, 0x prefix,
// hex digits up to the first other character; nothing readable gives 0), low 8
// bits kept. Any other number of groups, or no text, gives all zero.
std::array<uint8_t, 6> parseMacAddress(const std::optional<std::string>& macAddressStr);

// Six 0xFF bytes, the MAC address 16 times, then the password field: the
// password's UTF-8 bytes when there are 1 to 6 of them, else six zero bytes.
MagicPacket buildMagicPacket(const std::optional<std::string>& macAddressStr,
                             const std::optional<std::string>& passwordStr);

// Sends one magic packet to ipAddressStr (absent: 255.255.255.255). Answers 0
// when the packet was handed to the socket, -1 when the socket or its
// broadcast option could not be set up.
int32_t SendMagicPacket(const std::optional<std::string>& ipAddressStr,
                        const std::optional<std::string>& macAddressStr,
                        const std::optional<std::string>& passwordStr);
