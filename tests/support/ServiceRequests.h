#pragma once
// Request strings as the tool builds them, for tests and benchmarks that talk
// to the service through many direct clients.

#include "Protocol.h"

#include <string>

namespace requests {

// Dropped by the sandbox's router without a word: a read of it runs until
// its time-out or its cancel.
inline const char* const kSilentHost = "192.0.2.77";

inline const std::string kRead{methodName(Operation::PdeSnmpGet)};
inline const std::string kCancel{methodName(Operation::CancelFileWrite)};
inline const std::string kProbe{methodName(Operation::IsFilePathWritable)};
inline const std::string kEcho{methodName(Operation::SendEchoAndRecvReply)};
inline const std::string kWrite{methodName(Operation::WriteDictionaryToPlistFile)};

// An SNMP read: community in piece 3, host in 6, OID in 7. flag is the
// cancel flag text ("0", "1" or "NULL").
inline std::string read(const std::string& flag, const std::string& cancelFile, long timeoutMs,
                        const std::string& host = kSilentHost)
{
    return "15:argCount:4:iType:" + flag + ":cancelFlag:" + cancelFile + ":CancelFileName:" +
           std::to_string(timeoutMs) + ":gSnmpTimeout:3:gSnmpRetries:0:rtnCharFlag:p0:arg:p1:arg:p2:arg:public:arg:"
           "p4:arg:p5:arg:" + host + ":arg:1.3.6.1.2.1.1.1.0:arg:";
}

inline std::string cancel(const std::string& file) { return file + ":CancelFileName:"; }

// A property-list write of text to the file at path.
inline std::string write(const std::string& path, const std::string& text)
{
    return "file://" + path + ":AddURL:END" + text;
}

inline const std::string kCancelled = "FALSE:rtn_ExitValue=-1";

}  // namespace requests
