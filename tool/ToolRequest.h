#pragma once
// The tool's pure part: from the command line to the one request string of
// the operation, and from the service's reply to the one line printed.

#include "FamilyConfig.h"
#include "Protocol.h"

#include <string>

struct ToolCommand {
    enum class Kind {
        Call,     // operation, method and request are set
        Help,     // print helpText() on stdout, exit 0
        Version,  // print versionText() on stdout, exit 0
        Usage,    // diagnostic on stderr, exit 2; the service is not contacted
        Unknown,  // not one of the six names: diagnostic on stderr, exit 0
    };
    Kind kind = Kind::Usage;
    Operation operation = Operation::IsFilePathWritable;
    std::string method;   // the service's entry point, e.g. "pdeSnmpGet_XPC"
    std::string request;  // the request string in the operation's layout
    std::string diagnostic;
};

// Names are compared exactly, case included. Every argument that enters the
// request must be valid UTF-8, since the bus carries only UTF-8 strings.
// Relative paths (the probe path, the cancel files, a "file:" URL with a
// relative path) are made absolute against workingFolder, the caller's: the
// service has a working folder of its own and refuses relative ones. With no
// workingFolder they go as they are.
ToolCommand parseToolCommand(int argc, const char* const argv[], const std::string& workingFolder);

// The line printed for reply, newline included: "<Name>=<reply>", and for
// the SNMP reply in the hex form the whole of that line hex-encoded.
std::string replyLine(Operation operation, const std::string& reply, ToolOutput output);

// The print switch of the magic-packet reply: off only when argv[5] is "OFF".
bool printSwitchOn(int argc, const char* const argv[]);

// What --help prints: the program as invoked, the family's names and output
// forms, each operation with its arguments and where the SNMP pieces go.
std::string helpText(const std::string& programName, const FamilyConfig& family);

// What --version prints: the package version that the tool was built as and
// the family it calls, e.g. "printer-helper-tool 1.0.0-1\nfamily briar, bus
// name com.fenwa.PrinterHelper.Briar\n".
std::string versionText(const std::string& packageVersion, const FamilyConfig& family);
