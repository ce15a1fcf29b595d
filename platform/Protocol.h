#pragma once
// The contract between the tool and the service of every family: the six
// operations with their names on the bus and on the command line, the tags
// that end each request field, and the reply words. The tool builds its
// requests from these names and the service cuts them with the same ones, so
// a renamed tag changes both programs at once.

#include <cstddef>
#include <string>
#include <string_view>

enum class Operation {
    IsFilePathWritable,
    WriteDictionaryToPlistFile,
    SendMagicPacket,
    SendEchoAndRecvReply,
    PdeSnmpGet,
    CancelFileWrite,
};

struct OperationName {
    Operation operation;
    std::string_view method;  // the bus method, the service's entry point
};

// In protocol order; the introspection file and the exported interface list
// them in this order too.
inline constexpr OperationName kOperationNames[] = {
    {Operation::IsFilePathWritable, "isFilePathWritable_XPC"},
    {Operation::WriteDictionaryToPlistFile, "writeDictionaryToPlistFile_XPC"},
    {Operation::SendMagicPacket, "sendMagicPacket_XPC"},
    {Operation::SendEchoAndRecvReply, "sendEchoAndRecvReply_XPC"},
    {Operation::PdeSnmpGet, "pdeSnmpGet_XPC"},
    {Operation::CancelFileWrite, "cancelFileWrite_XPC"},
};

inline constexpr std::string_view methodName(Operation operation)
{
    for (const OperationName& name : kOperationNames)
        if (name.operation == operation)
            return name.method;
    return {};
}

// The tool's command-line name: the method with an upper-case initial
// ("pdeSnmpGet_XPC" is called as "PdeSnmpGet_XPC").
inline std::string commandName(Operation operation)
{
    std::string name(methodName(operation));
    if (!name.empty() && name[0] >= 'a' && name[0] <= 'z')
        name[0] = static_cast<char>(name[0] - 'a' + 'A');
    return name;
}

// Every method takes the request string and answers the reply string.
inline constexpr std::string_view kMethodSignature = "s";
inline constexpr std::string_view kRequestArgumentName = "request";
inline constexpr std::string_view kReplyArgumentName = "reply";

// The tags, each right behind the field that it ends.
inline constexpr std::string_view kTagAddUrl = ":AddURL:END";
inline constexpr std::string_view kTagIpAddressStr = ":ARGipAddressStr:";
inline constexpr std::string_view kTagMacAddressStr = ":ARGmacAddressStr:";
inline constexpr std::string_view kTagPasswordStr = ":ARGpasswordStr:";
inline constexpr std::string_view kTagEchoAddress = ":sIpAddr:END";
inline constexpr std::string_view kTagArgCount = ":argCount:";
inline constexpr std::string_view kTagIType = ":iType:";
inline constexpr std::string_view kTagCancelFlag = ":cancelFlag:";
inline constexpr std::string_view kTagCancelFileName = ":CancelFileName:";
inline constexpr std::string_view kTagSnmpTimeout = ":gSnmpTimeout:";
inline constexpr std::string_view kTagSnmpRetries = ":gSnmpRetries:";
inline constexpr std::string_view kTagRtnCharFlag = ":rtnCharFlag:";
inline constexpr std::string_view kTagArg = ":arg:";

// The six fixed fields of an SNMP request after its argument count, in
// layout order; the tool's arguments 1 to 6 end with these tags.
inline constexpr std::string_view kSnmpFieldTags[] = {
    kTagIType, kTagCancelFlag, kTagCancelFileName, kTagSnmpTimeout, kTagSnmpRetries, kTagRtnCharFlag,
};
inline constexpr std::size_t kSnmpFixedArguments = sizeof(kSnmpFieldTags) / sizeof(kSnmpFieldTags[0]);

// The marker for "not given" in the magic-packet fields and the cancel flag.
inline constexpr std::string_view kNullMarker = "NULL";

inline constexpr std::string_view kReplyTrue = "TRUE";
inline constexpr std::string_view kReplyFalse = "FALSE";

// The SNMP read's replies: each prefix followed by its value in decimal or
// as text.
inline constexpr std::string_view kReplySnmpStatus = "FALSE:rtn_ExitValue=";
inline constexpr std::string_view kReplySnmpString = "TRUE:uResult.string=";
inline constexpr std::string_view kReplySnmpInteger = "TRUE:uResult.integer=";

// The magic-packet reply is printed unless the tool's fourth argument after
// the operation is exactly this word.
inline constexpr std::string_view kPrintSwitchOff = "OFF";
