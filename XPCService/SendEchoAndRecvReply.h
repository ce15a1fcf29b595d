#pragma once
// ICMP echo probe over the unprivileged ICMP datagram socket, IPv4 or IPv6.

#include "Wait.h"

#include <array>
#include <cstdint>

constexpr std::size_t kEchoRequestSize = 28;

// True when an Echo Reply comes back from sIpAddr within timeoutMsec ms.
// sIpAddr is dotted IPv4 (read as inet_addr reads it) or a numeric IPv6
// address, with "%scope" for a link-local one. Null or empty address: false
// at once. An ICMP error for the echo (unreachable, time exceeded, ...)
// answers false as soon as it arrives. An empty check: not cancellable.
bool sendEchoAndRecvReply(const char* sIpAddr, int64_t timeoutMsec, const CancelCheck& cancelled = {});

// RFC 1071 Internet checksum over length bytes (big-endian 16-bit words, an
// odd last byte padded with a zero): the checksum field's two bytes, in order.
std::array<uint8_t, 2> icmpChecksum(const void* bytes, int length);

// The 28-byte Echo Request: type 8, code 0, identifier and sequence 0,
// 20 zero data bytes, checksum filled in.
std::array<uint8_t, kEchoRequestSize> buildEchoRequest();

// The same for ICMPv6: type 128; the checksum stays 0, since it covers a
// pseudo-header with the source address, which the kernel fills in.
std::array<uint8_t, kEchoRequestSize> buildEcho6Request();
