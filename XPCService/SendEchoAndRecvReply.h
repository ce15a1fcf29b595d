#pragma once
// ICMP echo probe over the unprivileged ICMP datagram socket.

#include <array>
#include <cstdint>

constexpr std::size_t kEchoRequestSize = 28;

// True when an Echo Reply comes back from sIpAddr within timeoutMsec ms.
// Null or empty address: false at once.
bool sendEchoAndRecvReply(const char* sIpAddr, int64_t timeoutMsec);

// RFC 1071 Internet checksum over length bytes, words read in host order;
// store the result unchanged into the checksum field.
uint16_t icmpChecksum(const void* bytes, int length);

// The 28-byte Echo Request: type 8, code 0, identifier and sequence 0,
// 20 zero data bytes, checksum filled in.
std::array<uint8_t, kEchoRequestSize> buildEchoRequest();
