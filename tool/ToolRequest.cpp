#include "ToolRequest.h"

#include "Text.h"
#include "ZelStringEncode.h"

#include <cstring>
#include <vector>

namespace {

struct OperationInfo {
    ToolOperation operation;
    const char* name;    // on the command line
    const char* method;  // on the bus
    int minArguments;    // after the name
    const char* usage;
};

constexpr OperationInfo kOperations[] = {
    {ToolOperation::IsFilePathWritable, "IsFilePathWritable_XPC", "isFilePathWritable_XPC", 1, "PATH"},
    {ToolOperation::WriteDictionaryToPlistFile, "WriteDictionaryToPlistFile_XPC", "writeDictionaryToPlistFile_XPC",
     2, "FILE_URL PLIST_TEXT"},
    {ToolOperation::SendMagicPacket, "SendMagicPacket_XPC", "sendMagicPacket_XPC", 3,
     "IP_ADDRESS MAC_ADDRESS PASSWORD [OFF]"},
    {ToolOperation::SendEchoAndRecvReply, "SendEchoAndRecvReply_XPC", "sendEchoAndRecvReply_XPC", 2,
     "IP_ADDRESS TIMEOUT_MS"},
    {ToolOperation::PdeSnmpGet, "PdeSnmpGet_XPC", "pdeSnmpGet_XPC", 6,
     "ITYPE CANCEL_FLAG CANCEL_FILE TIMEOUT_MS RETRIES RTN_CHAR_FLAG [PIECE...]"},
    {ToolOperation::CancelFileWrite, "CancelFileWrite_XPC", "cancelFileWrite_XPC", 1, "CANCEL_FILE"},
};

const OperationInfo& infoOf(ToolOperation operation)
{
    for (const OperationInfo& info : kOperations)
        if (info.operation == operation)
            return info;
    return kOperations[0];
}

std::string usageLine(const OperationInfo& info)
{
    return std::string("usage: printer-helper-tool ") + info.name + " " + info.usage;
}

// The request of each layout; argument k of the layout is argv[k + 1].
std::string buildRequest(ToolOperation operation, int argc, const char* const argv[])
{
    auto arg = [argv](int i) { return std::string(argv[i]); };
    switch (operation) {
    case ToolOperation::IsFilePathWritable:
        return arg(2);
    case ToolOperation::WriteDictionaryToPlistFile:
        return arg(2) + ":AddURL:END" + arg(3);
    case ToolOperation::SendMagicPacket:
        return arg(2) + ":ARGipAddressStr:" + arg(3) + ":ARGmacAddressStr:" + arg(4) + ":ARGpasswordStr:";
    case ToolOperation::SendEchoAndRecvReply:
        return arg(2) + ":sIpAddr:END" + arg(3);
    case ToolOperation::PdeSnmpGet: {
        std::string request = std::to_string(argc - 2) + ":argCount:";
        static const char* const kTags[] = {":iType:",        ":cancelFlag:",   ":CancelFileName:",
                                            ":gSnmpTimeout:", ":gSnmpRetries:", ":rtnCharFlag:"};
        for (int i = 0; i < 6; ++i)
            request += arg(2 + i) + kTags[i];
        if (argc >= 9)
            for (int i = 8; i < argc; ++i)
                request += arg(i) + ":arg:";
        return request;
    }
    case ToolOperation::CancelFileWrite:
        return arg(2) + ":CancelFileName:";
    }
    return {};
}

// The arguments that go into the request; the magic packet's print switch does not.
int lastRequestArgument(ToolOperation operation, int argc)
{
    switch (operation) {
    case ToolOperation::SendMagicPacket:
        return 4;
    case ToolOperation::PdeSnmpGet:
        return argc - 1;
    default:
        return 1 + infoOf(operation).minArguments;
    }
}

}  // namespace

ToolCommand parseToolCommand(int argc, const char* const argv[])
{
    ToolCommand command;
    if (argc < 2 || argv[1] == nullptr) {
        command.kind = ToolCommand::Kind::Usage;
        command.diagnostic = "no operation given\n" + usageText();
        return command;
    }
    if (std::strcmp(argv[1], "--help") == 0) {
        command.kind = ToolCommand::Kind::Help;
        return command;
    }
    const OperationInfo* found = nullptr;
    for (const OperationInfo& info : kOperations)
        if (std::strcmp(argv[1], info.name) == 0)
            found = &info;
    if (!found) {
        command.kind = ToolCommand::Kind::Unknown;
        command.diagnostic = "unknown operation (see --help)";
        return command;
    }
    command.operation = found->operation;
    command.method = found->method;
    if (argc - 2 < found->minArguments) {
        command.kind = ToolCommand::Kind::Usage;
        command.diagnostic = usageLine(*found);
        return command;
    }
    for (int i = 2; i <= lastRequestArgument(found->operation, argc); ++i) {
        if (!isValidUtf8(argv[i])) {
            command.kind = ToolCommand::Kind::Usage;
            command.diagnostic = "argument " + std::to_string(i - 1) + " is not valid UTF-8";
            return command;
        }
    }
    command.kind = ToolCommand::Kind::Call;
    command.request = buildRequest(found->operation, argc, argv);
    return command;
}

std::string replyLine(ToolOperation operation, const std::string& reply, ToolOutput output)
{
    std::string line = std::string(infoOf(operation).name) + "=" + reply;
    if (operation == ToolOperation::PdeSnmpGet && output == ToolOutput::Hex) {
        std::vector<char> hex(2 * line.size() + 1);
        int digits = ZelStringEncode(reinterpret_cast<const unsigned char*>(line.data()), hex.data(),
                                     static_cast<int>(line.size()));
        line.assign(hex.data(), static_cast<std::size_t>(digits));
    }
    return line + "\n";
}

bool printSwitchOn(int argc, const char* const argv[])
{
    return !(argc > 5 && argv[5] && std::strcmp(argv[5], "OFF") == 0);
}

std::string usageText()
{
    std::string text = "usage: printer-helper-tool OPERATION ARGUMENTS...\n";
    for (const OperationInfo& info : kOperations)
        text += "  " + std::string(info.name) + " " + info.usage + "\n";
    return text;
}
