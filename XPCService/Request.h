#pragma once
// The request and reply strings of the six operations. A request packs each
// field followed by its tag; every tag is found at its first occurrence in the
// whole request. A request whose fields cannot be measured (a tag missing that
// a field starts from, or tags out of order) cuts to nothing, and its entry
// point answers "FALSE".

#include "FamilyConfig.h"
#include "Protocol.h"
#include "SnmpValue.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// writeDictionaryToPlistFile_XPC: URL text, ":AddURL:END", property-list text.
struct PlistWriteRequest {
    std::string urlText;
    std::string data;  // everything after the first ":AddURL:END", written whole
};
std::optional<PlistWriteRequest> cutPlistWriteRequest(std::string_view request);

// sendMagicPacket_XPC: address, MAC address, password, each followed by its
// tag. A field is absent when its tag is missing or its text is "NULL".
struct MagicPacketRequest {
    std::optional<std::string> ipAddress;
    std::optional<std::string> macAddress;
    std::optional<std::string> password;
};
std::optional<MagicPacketRequest> cutMagicPacketRequest(std::string_view request);

// The longest time-out a request can ask for, in ms (about 24.8 days): what
// poll(2) takes in one call, and what the SNMP field holds anyway. Every wait
// can hold it, where 9,223,372,036,855 ms and more overflow a wait counted in
// nanoseconds. Longer echo time-outs are cut to it as the request is cut.
constexpr int64_t kLongestTimeoutMs = INT32_MAX;

// sendEchoAndRecvReply_XPC: address, ":sIpAddr:END", time-out in ms, at most
// kLongestTimeoutMs.
struct EchoRequest {
    std::string ipAddress;
    int64_t timeoutMsec = 0;
};
std::optional<EchoRequest> cutEchoRequest(std::string_view request);

// pdeSnmpGet_XPC: seven tagged fields, then pieces each followed by ":arg:".
// All seven tags are needed: the pieces are measured from the last of them.
struct SnmpRequest {
    int32_t argCount = 0;                // read and not used
    int32_t iType = 0;
    std::optional<int32_t> cancelFlag;   // none: "NULL", no watcher, gCancelFlag untouched
    std::string cancelFileName;
    int32_t snmpTimeout = 0;             // stored only when > 0
    int32_t snmpRetries = 0;             // stored only when > 0
    int32_t rtnCharFlag = 0;
    std::vector<std::string> pieces;     // at most kArgVectorSize; further pieces dropped
};
std::optional<SnmpRequest> cutSnmpRequest(std::string_view request);

// Entry k of the worker's argument vector is piece k; the rest are null. The
// pieces move in, so a long request is not held twice.
ArgVector argVectorFrom(std::vector<std::string> pieces);

// cancelFileWrite_XPC: path, ":CancelFileName:". No tag: no path.
std::optional<std::string> cutCancelRequest(std::string_view request);

// "TRUE" or "FALSE".
std::string boolReply(bool value);

// The magic-packet status in signed decimal.
std::string statusReply(int32_t status);

// The SNMP reply from the worker's own status and value type: a non-zero
// status as "FALSE:rtn_ExitValue=%d"; types 4 and 6 as a string reply in the
// build's form; type 2 as "TRUE:uResult.integer=%d"; anything else "FALSE".
// The reply is always valid UTF-8.
std::string snmpReply(int32_t status, uint8_t valueType, const UResult& uResult, StringForm form);
