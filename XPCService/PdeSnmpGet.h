#pragma once
// The SNMP get worker: one v1 GetRequest for one OID, one datagram out, one
// bounded wait for the answer with the same request id, the first variable
// binding of that answer decoded.

#include "SnmpValue.h"
#include "Wait.h"

#include <cstdint>
#include <vector>

// What one read runs with, fixed by its caller when it starts: overlapping
// reads never see each other's time-out or cancel through the process-wide
// settings. (The retry count is stored only: the worker's receive tries are
// fixed.)
struct SnmpReadSettings {
    int64_t timeoutMs = 0;  // at most kLongestTimeoutMs; less than 0 reads as 0
    CancelCheck cancelled;
};

// Reads entries 3 (community), 6 (numeric IPv4 or IPv6 address, with a scope
// for link-local ones) and 7 (OID) of args. On status 0, uResult holds the
// value and valueType its type code (2, 4 or 6); the type is also stored in
// gtype. Datagrams with another request id are dropped. Blocks for about
// settings.timeoutMs at most, and returns -1 within about 10 ms of the cancel
// check answering true.
int32_t PdeSnmpGet(const ArgVector& args, UResult& uResult, int32_t iType, int32_t rtnCharFlag, uint8_t& valueType,
                   const SnmpReadSettings& settings);

// Decodes the first binding of a received answer into uResult and valueType
// by the type rules of the worker, answering its status (0, -30896 or -50).
// Counter, Gauge, TimeTicks, 0x47 and IpAddress values are stored as text of
// type 4; texts longer than the area are cut (a hex form at a whole group).
int32_t decodeSnmpAnswer(const std::vector<uint8_t>& answer, UResult& uResult, int32_t iType, int32_t rtnCharFlag,
                         uint8_t& valueType);
