#include "ToolRequest.h"

#include "BusNames.h"
#include "Text.h"
#include "ZelStringEncode.h"

#include <strings.h>
#include <uriparser/Uri.h>

#include <cstring>
#include <vector>

namespace {

// What the tool's command line asks of each operation beyond its name.
struct ToolArguments {
    Operation operation;
    int minArguments;  // after the name
    const char* synopsis;
    const char* description;
};

constexpr ToolArguments kToolArguments[] = {
    {Operation::IsFilePathWritable, 1, "PATH",
     "TRUE when PATH can be opened (or created) for reading and writing"},
    {Operation::WriteDictionaryToPlistFile, 2, "FILE_URL PLIST_TEXT",
     "writes PLIST_TEXT whole to an absolute file: URL; TRUE or FALSE"},
    {Operation::SendMagicPacket, 3, "IP_ADDRESS MAC_ADDRESS PASSWORD [OFF]",
     "sends a Wake-on-LAN packet (NULL: not given; OFF: print nothing); 0 or -1"},
    {Operation::SendEchoAndRecvReply, 2, "IP_ADDRESS TIMEOUT_MS",
     "TRUE when IP_ADDRESS answers a ping within TIMEOUT_MS; IP_ADDRESS is\n"
     "      a numeric IPv4 or IPv6 address (link-local with its scope, e.g.\n"
     "      fe80::1%eth0); host names are refused"},
    {Operation::PdeSnmpGet, static_cast<int>(kSnmpFixedArguments),
     "ITYPE CANCEL_FLAG CANCEL_FILE TIMEOUT_MS RETRIES RTN_CHAR_FLAG PIECE...",
     "reads one MIB value with an SNMP v1 GET; the pieces are below"},
    {Operation::CancelFileWrite, 1, "CANCEL_FILE",
     "cancels the SNMP read that was given CANCEL_FILE; TRUE or FALSE"},
};

const ToolArguments& argumentsOf(Operation operation)
{
    for (const ToolArguments& arguments : kToolArguments)
        if (arguments.operation == operation)
            return arguments;
    return kToolArguments[0];
}

std::string usageLine(const char* programName, const ToolArguments& arguments)
{
    return std::string("usage: ") + programName + " " + commandName(arguments.operation) + " " +
           arguments.synopsis;
}

// path, or where it is relative, folder/path.
std::string absoluteIn(const std::string& folder, const std::string& path)
{
    if (path.empty() || path.front() == '/' || folder.empty())
        return path;
    return folder + (folder.back() == '/' ? "" : "/") + path;
}

// A "file:" URL whose path is relative ("file:out.plist") gets the folder in
// front, written as uriparser writes a file name into a URL.
std::string absoluteUrlIn(const std::string& folder, const std::string& url)
{
    constexpr std::size_t kScheme = 5;  // "file:"
    const bool fileScheme = url.size() > kScheme && strncasecmp(url.c_str(), "file:", kScheme) == 0;
    if (!fileScheme || url[kScheme] == '/' || folder.empty())
        return url;
    const std::string folderName = folder.back() == '/' ? folder : folder + '/';
    std::vector<char> folderUrl(8 + 3 * folderName.size() + 1);
    if (uriUnixFilenameToUriStringA(folderName.c_str(), folderUrl.data()) != URI_SUCCESS)
        return url;
    return folderUrl.data() + url.substr(kScheme);
}

// The request of each layout; argument k of the layout is argv[k + 1].
std::string buildRequest(Operation operation, int argc, const char* const argv[], const std::string& folder)
{
    auto arg = [argv](int i) { return std::string(argv[i]); };
    auto path = [&](int i) { return absoluteIn(folder, arg(i)); };
    switch (operation) {
    case Operation::IsFilePathWritable:
        return path(2);
    case Operation::WriteDictionaryToPlistFile:
        return absoluteUrlIn(folder, arg(2)) + std::string(kTagAddUrl) + arg(3);
    case Operation::SendMagicPacket:
        return arg(2) + std::string(kTagIpAddressStr) + arg(3) + std::string(kTagMacAddressStr) + arg(4) +
               std::string(kTagPasswordStr);
    case Operation::SendEchoAndRecvReply:
        return arg(2) + std::string(kTagEchoAddress) + arg(3);
    case Operation::PdeSnmpGet: {
        std::string request = std::to_string(argc - 2) + std::string(kTagArgCount);
        for (std::size_t i = 0; i < kSnmpFixedArguments; ++i) {
            const int at = 2 + static_cast<int>(i);
            request += (kSnmpFieldTags[i] == kTagCancelFileName ? path(at) : arg(at)) + std::string(kSnmpFieldTags[i]);
        }
        for (int i = 2 + static_cast<int>(kSnmpFixedArguments); i < argc; ++i)
            request += arg(i) + std::string(kTagArg);
        return request;
    }
    case Operation::CancelFileWrite:
        return path(2) + std::string(kTagCancelFileName);
    }
    return {};
}

// The arguments that go into the request; the magic packet's print switch does not.
int lastRequestArgument(Operation operation, int argc)
{
    switch (operation) {
    case Operation::SendMagicPacket:
        return 4;
    case Operation::PdeSnmpGet:
        return argc - 1;
    default:
        return 1 + argumentsOf(operation).minArguments;
    }
}

}  // namespace

ToolCommand parseToolCommand(int argc, const char* const argv[], const std::string& workingFolder)
{
    ToolCommand command;
    const char* programName = argc > 0 && argv[0] ? argv[0] : "printer-helper-tool";
    if (argc < 2 || argv[1] == nullptr) {
        command.kind = ToolCommand::Kind::Usage;
        command.diagnostic = std::string("no operation given (see ") + programName + " --help)";
        return command;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        command.kind = ToolCommand::Kind::Help;
        return command;
    }
    if (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0) {
        command.kind = ToolCommand::Kind::Version;
        return command;
    }
    const ToolArguments* found = nullptr;
    for (const ToolArguments& arguments : kToolArguments)
        if (commandName(arguments.operation) == argv[1])
            found = &arguments;
    if (!found) {
        command.kind = ToolCommand::Kind::Unknown;
        command.diagnostic = "unknown operation (see --help)";
        return command;
    }
    command.operation = found->operation;
    command.method = std::string(methodName(found->operation));
    if (argc - 2 < found->minArguments) {
        command.kind = ToolCommand::Kind::Usage;
        command.diagnostic = usageLine(programName, *found);
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
    command.request = buildRequest(found->operation, argc, argv, workingFolder);
    return command;
}

std::string replyLine(Operation operation, const std::string& reply, ToolOutput output)
{
    std::string line = commandName(operation) + "=" + reply;
    if (operation == Operation::PdeSnmpGet && output == ToolOutput::Hex) {
        std::vector<char> hex(2 * line.size() + 1);
        int digits = ZelStringEncode(reinterpret_cast<const unsigned char*>(line.data()), hex.data(),
                                     static_cast<int>(line.size()));
        line.assign(hex.data(), static_cast<std::size_t>(digits));
    }
    return line + "\n";
}

bool printSwitchOn(int argc, const char* const argv[])
{
    return !(argc > 5 && argv[5] && argv[5] == kPrintSwitchOff);
}

std::string helpText(const std::string& programName, const FamilyConfig& family)
{
    const std::string snmp = commandName(Operation::PdeSnmpGet);
    std::string text = "usage: " + programName + " OPERATION ARGUMENT...\n" +
                       "       " + programName + " --help | -h\n" +
                       "       " + programName + " --version | -V\n\n" +
                       "Calls one operation of the printer helper service of the " + family.family +
                       " family on the\nD-Bus session bus (started on demand) and prints its reply "
                       "as one line,\nOPERATION=REPLY.\n\n";
    text += "  family     " + std::string(family.family) + "\n";
    text += "  bus name   " + std::string(family.serviceName) + "\n";
    text += "  interface  " + protocolInterfaceName(family.serviceName, family.protocolUuid) + "\n";
    if (family.toolOutput == ToolOutput::Hex)
        text += "  SNMP line  hex: the whole line \"" + snmp +
                "=REPLY\" as upper-case hex\n"
                "             digits, two per byte (decode with: basenc -d --base16)\n";
    else
        text += "  SNMP line  plain: \"" + snmp + "=REPLY\"\n";
    if (family.stringForm == StringForm::Utf8)
        text += "  strings    utf8: SNMP text values are read as UTF-8; a value that is not\n"
                "             UTF-8 answers as \"(null)\"\n";
    else
        text += "  strings    bytes: each byte of an SNMP text value is one character\n"
                "             (ISO-8859-1)\n";

    text += "\nOperations (names are case-sensitive):\n";
    for (const ToolArguments& arguments : kToolArguments)
        text += "  " + commandName(arguments.operation) + " " + arguments.synopsis + "\n      " +
                arguments.description + "\n";

    text += "\n" + snmp + " arguments: ITYPE 2 (integer), 4 (text) or 6 (OID);\n"
            "CANCEL_FLAG NULL (no cancel) or a number; CANCEL_FILE is created, and\n"
            "CancelFileWrite_XPC on it cancels the read; RTN_CHAR_FLAG 1 answers text\n"
            "values as a MAC address.\n"
            "The pieces are numbered from 0 and at least eight are needed: piece 3 is the\n"
            "SNMP community, piece 6 the printer's address and piece 7 the\n"
            "OID; the others are carried unread. Counting every argument after the\n"
            "operation, the community is the 10th, the address the 13th, the OID the 14th:\n"
            "  " + programName + " " + snmp +
            " 4 0 /tmp/cancel 1000 3 0 - - - public - - 127.0.0.1 1.3.6.1.2.1.1.1.0\n"
            "The address is a numeric IPv4 or IPv6 address (link-local with its scope,\n"
            "e.g. fe80::1%eth0); host names are refused.\n";

    text += "\n--version (-V) prints the package version and the family.\n";
    text += "\nExit status: 0 when the reply was printed (or withheld by OFF), for an\n"
            "unknown operation and for --help and --version; 2 for missing arguments or\n"
            "arguments that are not UTF-8; 69 when the bus or the service is unavailable.\n\n"
            "See man printer-helper-tool.\n";
    return text;
}

std::string versionText(const std::string& packageVersion, const FamilyConfig& family)
{
    return "printer-helper-tool " + packageVersion + "\nfamily " + family.family + ", bus name " +
           family.serviceName + "\n";
}
