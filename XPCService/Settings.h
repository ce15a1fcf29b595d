#pragma once
// Process-wide settings of the service, shared by every client and call.
// They are atomics because calls of different clients run on different threads.

#include <atomic>
#include <cstdint>

extern std::atomic<int64_t> gSnmpTimeout;  // milliseconds; initially 250
extern std::atomic<int32_t> gSnmpRetries;  // initially 3; stored, not consulted by the worker
extern std::atomic<int32_t> gCancelFlag;   // 0 = go on, non-zero = cancel the running SNMP read
extern std::atomic<uint8_t> gtype;         // type code of the last SNMP value read
