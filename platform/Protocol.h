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

// One method of the bus interface. Beside the names, each row carries what a
// client of the bus must know to call the method without the tool; the
// introspection file (as org.gtk.GDBus.DocString annotations) and the manual
// page's D-BUS INTERFACE section are both written from these fields.
struct OperationName {
    Operation operation;
    std::string_view method;  // the bus method, the service's entry point
    std::string_view summary;       // what the method does, one sentence
    std::string_view layout;        // the request: upper-case words are values, the rest is literal
    std::string_view fields;        // what the values of the layout hold
    std::string_view example;       // one whole request as a client sends it
    std::string_view exampleReply;  // the reply to it (for the SNMP read: the test agent's sysName)
    std::string_view replies;       // every reply, one "REPLY<TAB>when" a line
};

// In protocol order; the introspection file and the exported interface list
// them in this order too. The tags in the layouts and examples are those
// below (kTag...); the interface test sends every example and expects its reply.
inline constexpr OperationName kOperationNames[] = {
    {Operation::IsFilePathWritable, "isFilePathWritable_XPC",
     "Tells whether a file can be opened, or created, for reading and writing with the caller's rights; a file "
     "that the probe creates is removed again.",
     "PATH",
     "PATH is the whole request, with no tag.",
     "/tmp/probe",
     "TRUE",
     "TRUE\tthe file can be opened or created for reading and writing\n"
     "FALSE\totherwise"},
    {Operation::WriteDictionaryToPlistFile, "writeDictionaryToPlistFile_XPC",
     "Writes a property-list text as the whole new contents of the file that an absolute file: URL names.",
     "URL:AddURL:ENDTEXT",
     "URL is an absolute file: URL; every other scheme is refused. TEXT, everything after the tag, is written "
     "unchanged.",
     "file:///tmp/settings.plist:AddURL:END<plist><dict><key>Copies</key><integer>2</integer></dict></plist>",
     "TRUE",
     "TRUE\tthe text was written\n"
     "FALSE\tthe URL is not an absolute file: URL, or the file could not be written"},
    {Operation::SendMagicPacket, "sendMagicPacket_XPC",
     "Sends a Wake-on-LAN magic packet to UDP port 9.",
     "ADDRESS:ARGipAddressStr:MAC:ARGmacAddressStr:PASSWORD:ARGpasswordStr:",
     "ADDRESS is a dotted IPv4 address, MAC six hexadecimal bytes separated by colons, PASSWORD one to six "
     "bytes. NULL in a field means not given; with no ADDRESS the packet is broadcast to 255.255.255.255.",
     "198.51.100.255:ARGipAddressStr:00:1B:2C:3D:4E:5F:ARGmacAddressStr:NULL:ARGpasswordStr:",
     "0",
     "0\tthe packet was sent\n"
     "-1\tthe socket could not be opened or prepared"},
    {Operation::SendEchoAndRecvReply, "sendEchoAndRecvReply_XPC",
     "Sends one ICMP echo request and waits for the reply.",
     "ADDRESS:sIpAddr:ENDTIMEOUT_MS",
     "ADDRESS is a numeric IPv4 or IPv6 address (link-local with its scope, e.g. fe80::1%eth0); host names are "
     "refused. TIMEOUT_MS, everything after the tag, is the wait in milliseconds.",
     "127.0.0.1:sIpAddr:END1000",
     "TRUE",
     "TRUE\tthe echo reply came within TIMEOUT_MS\n"
     "FALSE\totherwise, once TIMEOUT_MS has passed"},
    {Operation::PdeSnmpGet, "pdeSnmpGet_XPC",
     "Reads one value from a printer's MIB with an SNMP version 1 GetRequest to UDP port 161.",
     "COUNT:argCount:TYPE:iType:CANCEL_FLAG:cancelFlag:CANCEL_FILE:CancelFileName:TIMEOUT_MS:gSnmpTimeout:"
     "RETRIES:gSnmpRetries:MAC_FORM:rtnCharFlag:PIECE:arg:PIECE:arg:...",
     "COUNT is the number of values after it (six plus the pieces); TYPE the expected type (2 INTEGER, 4 OCTET "
     "STRING, 6 OBJECT IDENTIFIER); CANCEL_FLAG NULL for a read that cannot be cancelled, else 0; CANCEL_FILE a "
     "file that is created or opened first and whose becoming non-empty cancels the read; TIMEOUT_MS and "
     "RETRIES are kept by the service when greater than 0; MAC_FORM 1 answers text values as a MAC address. "
     "Each PIECE ends with :arg:, counted from 0: piece 3 is the community, piece 6 the printer's numeric IPv4 "
     "or IPv6 address, piece 7 the OID; the others are carried unread, so a read needs eight pieces.",
     "14:argCount:4:iType:0:cancelFlag:/tmp/ph-cancel:CancelFileName:1000:gSnmpTimeout:3:gSnmpRetries:"
     "0:rtnCharFlag:-:arg:-:arg:-:arg:public:arg:-:arg:-:arg:127.0.0.1:arg:1.3.6.1.2.1.1.5.0:arg:",
     "TRUE:uResult.string=fenwa-dx5200",
     "TRUE:uResult.integer=N\tan INTEGER value\n"
     "TRUE:uResult.string=TEXT\tan OCTET STRING or OBJECT IDENTIFIER value as text\n"
     "FALSE:rtn_ExitValue=-1\tthe read was cancelled\n"
     "FALSE:rtn_ExitValue=-9780\tno usable answer: a bad address, nothing sent, or no answer in time\n"
     "FALSE:rtn_ExitValue=-30896\tthe value is NULL and TYPE is not 4\n"
     "FALSE:rtn_ExitValue=-50\tthe value has a type that is not handled\n"
     "FALSE\tthe cancel file could not be created or opened (nothing was sent), or the value has another type"},
    {Operation::CancelFileWrite, "cancelFileWrite_XPC",
     "Appends one byte to an existing cancel file, which cancels the SNMP read that watches it.",
     "CANCEL_FILE:CancelFileName:",
     "CANCEL_FILE is the file that the read was given.",
     "/tmp/ph-cancel:CancelFileName:",
     "TRUE",
     "TRUE\tthe byte was appended\n"
     "FALSE\tno such file, or the byte could not be written"},
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
