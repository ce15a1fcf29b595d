// The tool's command line: the request of each operation, the argument
// count, the print switch, the reply line in both output forms, and the
// cases that never reach the service. The tags are written out here on
// purpose: they are the wire contract, and a rename must fail this test.

#include "ToolRequest.h"

#include <gtest/gtest.h>

#include <cctype>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {

// argv as main() gets it: the program, the words, a null pointer.
std::vector<const char*> argvOf(const std::vector<std::string>& words)
{
    std::vector<const char*> argv{"printer-helper-tool-test"};
    for (const std::string& w : words)
        argv.push_back(w.c_str());
    argv.push_back(nullptr);
    return argv;
}

ToolCommand parse(const std::vector<std::string>& words, const std::string& folder = "/home/u")
{
    const auto argv = argvOf(words);
    return parseToolCommand(static_cast<int>(argv.size()) - 1, argv.data(), folder);
}

bool printSwitch(const std::vector<std::string>& words)
{
    const auto argv = argvOf(words);
    return printSwitchOn(static_cast<int>(argv.size()) - 1, argv.data());
}

const FamilyConfig kHexUtf8 = {"testfam", "org.example.Test", "01234567-89AB-CDEF-0123-456789ABCDEF",
                               ToolOutput::Hex, StringForm::Utf8};
const FamilyConfig kPlainBytes = {"other", "org.example.Other", "FEDCBA98-7654-3210-FEDC-BA9876543210",
                                  ToolOutput::Plain, StringForm::Bytes};

}  // namespace

TEST(ToolCommand, BuildsTheRequestOfEachOperationInItsLayout)
{
    struct Case {
        std::vector<std::string> words;
        std::string method;
        std::string request;
    };
    const Case cases[] = {
        {{"IsFilePathWritable_XPC", "/tmp/x"}, "isFilePathWritable_XPC", "/tmp/x"},
        {{"IsFilePathWritable_XPC", ""}, "isFilePathWritable_XPC", ""},
        {{"WriteDictionaryToPlistFile_XPC", "file:///tmp/a.plist", "<plist>:AddURL:END</plist>"},
         "writeDictionaryToPlistFile_XPC", "file:///tmp/a.plist:AddURL:END<plist>:AddURL:END</plist>"},
        {{"SendMagicPacket_XPC", "NULL", "00:11:22:33:44:55", "abc"}, "sendMagicPacket_XPC",
         "NULL:ARGipAddressStr:00:11:22:33:44:55:ARGmacAddressStr:abc:ARGpasswordStr:"},
        {{"SendMagicPacket_XPC", "10.0.0.255", "m", "p", "OFF"}, "sendMagicPacket_XPC",
         "10.0.0.255:ARGipAddressStr:m:ARGmacAddressStr:p:ARGpasswordStr:"},
        {{"SendMagicPacket_XPC", "a", "b", "c", "ON", "extra"}, "sendMagicPacket_XPC",
         "a:ARGipAddressStr:b:ARGmacAddressStr:c:ARGpasswordStr:"},
        {{"SendEchoAndRecvReply_XPC", "127.0.0.1", "1000"}, "sendEchoAndRecvReply_XPC",
         "127.0.0.1:sIpAddr:END1000"},
        {{"PdeSnmpGet_XPC", "4", "0", "/tmp/c", "1000", "3", "1"}, "pdeSnmpGet_XPC",
         "6:argCount:4:iType:0:cancelFlag:/tmp/c:CancelFileName:1000:gSnmpTimeout:3:gSnmpRetries:1:rtnCharFlag:"},
        {{"PdeSnmpGet_XPC", "2", "NULL", "c", "0", "0", "0", "p0", "", "p2"}, "pdeSnmpGet_XPC",
         "9:argCount:2:iType:NULL:cancelFlag:/home/u/c:CancelFileName:0:gSnmpTimeout:0:gSnmpRetries:0:rtnCharFlag:"
         "p0:arg::arg:p2:arg:"},
        {{"PdeSnmpGet_XPC", "4", "0", "c", "250", "3", "0", "p0", "p1", "p2", "public", "p4", "p5", "127.0.0.1",
          "1.3.6.1.2.1.1.1.0"},
         "pdeSnmpGet_XPC",
         "14:argCount:4:iType:0:cancelFlag:/home/u/c:CancelFileName:250:gSnmpTimeout:3:gSnmpRetries:0:rtnCharFlag:"
         "p0:arg:p1:arg:p2:arg:public:arg:p4:arg:p5:arg:127.0.0.1:arg:1.3.6.1.2.1.1.1.0:arg:"},
        {{"CancelFileWrite_XPC", "/tmp/c"}, "cancelFileWrite_XPC", "/tmp/c:CancelFileName:"},
        {{"CancelFileWrite_XPC", "NULL", "ignored"}, "cancelFileWrite_XPC", "/home/u/NULL:CancelFileName:"},
    };
    for (const Case& c : cases) {
        const ToolCommand command = parse(c.words);
        SCOPED_TRACE(c.words[0] + " with " + std::to_string(c.words.size() - 1) + " argument(s)");
        ASSERT_EQ(command.kind, ToolCommand::Kind::Call) << command.diagnostic;
        EXPECT_EQ(command.method, c.method);
        EXPECT_EQ(command.request, c.request);
    }
}

TEST(ToolCommand, RelativePathsAndFileUrlsGoOutAbsoluteInTheCallersFolder)
{
    struct Case {
        std::vector<std::string> words;
        std::string folder;
        std::string request;
    };
    const Case cases[] = {
        {{"IsFilePathWritable_XPC", "out.plist"}, "/home/u", "/home/u/out.plist"},
        {{"IsFilePathWritable_XPC", "../x"}, "/home/u", "/home/u/../x"},
        {{"IsFilePathWritable_XPC", "x"}, "/", "/x"},
        {{"IsFilePathWritable_XPC", "/tmp/x"}, "/home/u", "/tmp/x"},
        {{"IsFilePathWritable_XPC", ""}, "/home/u", ""},
        {{"IsFilePathWritable_XPC", "x"}, "", "x"},  // no folder known: the service refuses it
        {{"WriteDictionaryToPlistFile_XPC", "file:out.plist", "<d/>"}, "/home/My Docs",
         "file:///home/My%20Docs/out.plist:AddURL:END<d/>"},
        {{"WriteDictionaryToPlistFile_XPC", "FILE:a%20b", "t"}, "/h\xc3\xbc/~a_b-c.d",
         "file:///h%C3%BC/~a_b-c.d/a%20b:AddURL:ENDt"},
        {{"WriteDictionaryToPlistFile_XPC", "file:///tmp/a", "t"}, "/home/u", "file:///tmp/a:AddURL:ENDt"},
        {{"WriteDictionaryToPlistFile_XPC", "out.plist", "t"}, "/home/u", "out.plist:AddURL:ENDt"},
        {{"WriteDictionaryToPlistFile_XPC", "http:x", "t"}, "/home/u", "http:x:AddURL:ENDt"},
        {{"PdeSnmpGet_XPC", "4", "0", "sub/c", "1", "1", "0", "p0"}, "/home/u",
         "7:argCount:4:iType:0:cancelFlag:/home/u/sub/c:CancelFileName:1:gSnmpTimeout:1:gSnmpRetries:0:rtnCharFlag:"
         "p0:arg:"},
        {{"CancelFileWrite_XPC", "sub/c"}, "/home/u/", "/home/u/sub/c:CancelFileName:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words[1] + " in " + c.folder);
        const ToolCommand command = parse(c.words, c.folder);
        ASSERT_EQ(command.kind, ToolCommand::Kind::Call) << command.diagnostic;
        EXPECT_EQ(command.request, c.request);
    }
}

TEST(ToolCommand, TooFewArgumentsAreAUsageErrorThatNamesTheOperation)
{
    const std::vector<std::vector<std::string>> cases = {
        {"IsFilePathWritable_XPC"},
        {"WriteDictionaryToPlistFile_XPC", "file:///tmp/a"},
        {"SendMagicPacket_XPC", "NULL", "00:11:22:33:44:55"},
        {"SendEchoAndRecvReply_XPC", "127.0.0.1"},
        {"PdeSnmpGet_XPC", "4", "0", "c", "1000", "3"},
        {"CancelFileWrite_XPC"},
    };
    for (const auto& words : cases) {
        const ToolCommand command = parse(words);
        SCOPED_TRACE(words[0]);
        EXPECT_EQ(command.kind, ToolCommand::Kind::Usage);
        EXPECT_NE(command.diagnostic.find("usage: printer-helper-tool-test " + words[0]), std::string::npos)
            << command.diagnostic;
        EXPECT_TRUE(command.request.empty());
    }
}

TEST(ToolCommand, NamesOtherThanTheSixExactOnesNeverReachTheService)
{
    struct Case {
        std::vector<std::string> words;
        ToolCommand::Kind kind;
    };
    const Case cases[] = {
        {{}, ToolCommand::Kind::Usage},
        {{"pdeSnmpGet_XPC", "1", "2", "3"}, ToolCommand::Kind::Unknown},
        {{"pdesnmpget_xpc", "1"}, ToolCommand::Kind::Unknown},
        {{"ISFILEPATHWRITABLE_XPC", "/tmp/x"}, ToolCommand::Kind::Unknown},
        {{"IsFilePathWritable_XPC ", "/tmp/x"}, ToolCommand::Kind::Unknown},
        {{"", "/tmp/x"}, ToolCommand::Kind::Unknown},
        {{"--HELP"}, ToolCommand::Kind::Unknown},
        {{"--help"}, ToolCommand::Kind::Help},
        {{"-h"}, ToolCommand::Kind::Help},
        {{"-h", "IsFilePathWritable_XPC"}, ToolCommand::Kind::Help},
        {{"--version"}, ToolCommand::Kind::Version},
        {{"-V"}, ToolCommand::Kind::Version},
        {{"-V", "IsFilePathWritable_XPC", "/tmp/x"}, ToolCommand::Kind::Version},
        {{"-v"}, ToolCommand::Kind::Unknown},
        {{"--Version"}, ToolCommand::Kind::Unknown},
        {{"--version="}, ToolCommand::Kind::Unknown},
    };
    for (const Case& c : cases) {
        const ToolCommand command = parse(c.words);
        SCOPED_TRACE(c.words.empty() ? std::string("(no words)") : c.words[0]);
        EXPECT_EQ(command.kind, c.kind);
        EXPECT_TRUE(command.request.empty());
        EXPECT_TRUE(command.method.empty());
    }
}

TEST(ToolCommand, ArgumentsThatEnterTheRequestMustBeUtf8)
{
    const std::string bad = "\xff";
    struct Case {
        std::vector<std::string> words;
        ToolCommand::Kind kind;
    };
    const Case cases[] = {
        {{"IsFilePathWritable_XPC", bad}, ToolCommand::Kind::Usage},
        {{"WriteDictionaryToPlistFile_XPC", "file:///x", "\xc3\x28"}, ToolCommand::Kind::Usage},
        {{"PdeSnmpGet_XPC", "4", "0", "c", "1", "1", "0", "p0", bad}, ToolCommand::Kind::Usage},
        // The print switch and words after the last argument do not enter the request.
        {{"SendMagicPacket_XPC", "a", "b", "c", bad}, ToolCommand::Kind::Call},
        {{"IsFilePathWritable_XPC", "/tmp/x", bad}, ToolCommand::Kind::Call},
        {{"IsFilePathWritable_XPC", "/tmp/B\xc3\xbcro"}, ToolCommand::Kind::Call},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words[0]);
        EXPECT_EQ(parse(c.words).kind, c.kind);
    }
}

TEST(ToolCommand, OnlyTheExactWordOffSilencesTheMagicPacketReply)
{
    struct Case {
        std::vector<std::string> words;
        bool on;
    };
    const Case cases[] = {
        {{"SendMagicPacket_XPC", "a", "b", "c"}, true},
        {{"SendMagicPacket_XPC", "a", "b", "c", "OFF"}, false},
        {{"SendMagicPacket_XPC", "a", "b", "c", "off"}, true},
        {{"SendMagicPacket_XPC", "a", "b", "c", "ON"}, true},
        {{"SendMagicPacket_XPC", "a", "b", "c", "OFF "}, true},
        {{"SendMagicPacket_XPC", "a", "b", "c", ""}, true},
        {{"SendMagicPacket_XPC", "a", "b", "c", "OFF", "x"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words.size() > 4 ? "\"" + c.words[4] + "\"" : std::string("no switch"));
        EXPECT_EQ(printSwitch(c.words), c.on);
    }
}

TEST(ToolReplyLine, PrintsTheOperationNameAndReplyAndHexEncodesOnlyTheSnmpLineOfTheHexForm)
{
    struct Case {
        Operation operation;
        std::string reply;
        ToolOutput output;
        std::string line;
    };
    const Case cases[] = {
        {Operation::PdeSnmpGet, "FALSE", ToolOutput::Plain, "PdeSnmpGet_XPC=FALSE\n"},
        {Operation::PdeSnmpGet, "FALSE", ToolOutput::Hex, "506465536E6D704765745F5850433D46414C5345\n"},
        {Operation::PdeSnmpGet, "TRUE:uResult.string=\xc3\xbc", ToolOutput::Hex,
         "506465536E6D704765745F5850433D545255453A75526573756C742E737472696E673DC3BC\n"},
        {Operation::PdeSnmpGet, "", ToolOutput::Hex, "506465536E6D704765745F5850433D\n"},
        {Operation::IsFilePathWritable, "TRUE", ToolOutput::Hex, "IsFilePathWritable_XPC=TRUE\n"},
        {Operation::WriteDictionaryToPlistFile, "FALSE", ToolOutput::Plain, "WriteDictionaryToPlistFile_XPC=FALSE\n"},
        {Operation::SendMagicPacket, "-1", ToolOutput::Hex, "SendMagicPacket_XPC=-1\n"},
        {Operation::SendEchoAndRecvReply, "TRUE", ToolOutput::Plain, "SendEchoAndRecvReply_XPC=TRUE\n"},
        {Operation::CancelFileWrite, "TRUE", ToolOutput::Hex, "CancelFileWrite_XPC=TRUE\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(replyLine(c.operation, c.reply, c.output), c.line);
    }
}

TEST(ToolHelp, NamesTheProgramFamilyBusFormsOperationsAndSnmpPiecePositions)
{
    struct Case {
        const FamilyConfig* family;
        std::string program;
        std::vector<std::string> musts;
    };
    const Case cases[] = {
        {&kHexUtf8, "/usr/bin/printer-helper-tool-testfam",
         {"usage: /usr/bin/printer-helper-tool-testfam OPERATION", "testfam", "org.example.Test\n",
          "org.example.Test.XPC_Protocol01234567_89AB_CDEF_0123_456789ABCDEF", "SNMP line  hex", "utf8",
          "(null)"}},
        {&kPlainBytes, "printer-helper-tool-other",
         {"usage: printer-helper-tool-other OPERATION", "org.example.Other.XPC_ProtocolFEDCBA98_7654_3210_FEDC",
          "SNMP line  plain", "bytes", "ISO-8859-1"}},
    };
    for (const Case& c : cases) {
        const std::string text = helpText(c.program, *c.family);
        SCOPED_TRACE(text);
        std::vector<std::string> musts = c.musts;
        for (const char* common :
             {"IsFilePathWritable_XPC PATH", "WriteDictionaryToPlistFile_XPC FILE_URL PLIST_TEXT",
              "SendMagicPacket_XPC IP_ADDRESS MAC_ADDRESS PASSWORD [OFF]", "SendEchoAndRecvReply_XPC IP_ADDRESS",
              "PdeSnmpGet_XPC ITYPE CANCEL_FLAG CANCEL_FILE TIMEOUT_MS RETRIES RTN_CHAR_FLAG PIECE",
              "CancelFileWrite_XPC CANCEL_FILE", "piece 3 is the\nSNMP community", "piece 6", "piece 7",
              "the community is the 10th, the address the 13th, the OID the 14th", "man printer-helper-tool",
              "69", " --version | -V\n"})
            musts.emplace_back(common);
        for (const std::string& must : musts)
            EXPECT_NE(text.find(must), std::string::npos) << "missing: " << must;
        // The echo and the SNMP read both take IPv6 addresses with a scope, and
        // neither looks a name up: said once for each, wherever lines break.
        std::string flat;
        for (const char ch : text)
            if (!std::isspace(static_cast<unsigned char>(ch)) || (!flat.empty() && flat.back() != ' '))
                flat += std::isspace(static_cast<unsigned char>(ch)) ? ' ' : ch;
        const std::string addressForm =
            "numeric IPv4 or IPv6 address (link-local with its scope, e.g. fe80::1%eth0); host names are refused";
        const std::size_t echo = flat.find("SendEchoAndRecvReply_XPC");
        const std::size_t pieces = flat.find("piece 6");
        ASSERT_NE(echo, std::string::npos);
        ASSERT_NE(pieces, std::string::npos);
        EXPECT_LT(flat.find(addressForm, echo), flat.find("PdeSnmpGet_XPC", echo)) << flat;
        EXPECT_NE(flat.find(addressForm, pieces), std::string::npos) << flat;
        EXPECT_EQ(text.find("numeric IPv4 address"), std::string::npos);
        // A family's help names no other family's bus.
        const FamilyConfig* other = c.family == &kHexUtf8 ? &kPlainBytes : &kHexUtf8;
        EXPECT_EQ(text.find(other->serviceName), std::string::npos);
    }
}

TEST(ToolCommand, TheDocumentedExampleOfEachMethodIsWhatTheToolSendsForItsArguments)
{
    // The manual page and the introspection file teach other clients these
    // requests; they must be exactly what the tool itself builds.
    struct Case {
        Operation operation;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {Operation::IsFilePathWritable, {"IsFilePathWritable_XPC", "/tmp/probe"}},
        {Operation::WriteDictionaryToPlistFile,
         {"WriteDictionaryToPlistFile_XPC", "file:///tmp/settings.plist",
          "<plist><dict><key>Copies</key><integer>2</integer></dict></plist>"}},
        {Operation::SendMagicPacket, {"SendMagicPacket_XPC", "198.51.100.255", "00:1B:2C:3D:4E:5F", "NULL"}},
        {Operation::SendEchoAndRecvReply, {"SendEchoAndRecvReply_XPC", "127.0.0.1", "1000"}},
        {Operation::PdeSnmpGet,
         {"PdeSnmpGet_XPC", "4", "0", "/tmp/ph-cancel", "1000", "3", "0", "-", "-", "-", "public", "-", "-",
          "127.0.0.1", "1.3.6.1.2.1.1.5.0"}},
        {Operation::CancelFileWrite, {"CancelFileWrite_XPC", "/tmp/ph-cancel"}},
    };
    ASSERT_EQ(std::size(cases), std::size(kOperationNames));
    for (const Case& c : cases) {
        const OperationName& row = kOperationNames[static_cast<std::size_t>(&c - cases)];
        SCOPED_TRACE(std::string(row.method));
        ASSERT_EQ(row.operation, c.operation);
        const ToolCommand command = parse(c.words);
        ASSERT_EQ(command.kind, ToolCommand::Kind::Call) << command.diagnostic;
        EXPECT_EQ(command.method, row.method);
        EXPECT_EQ(command.request, row.example);
        // Every documented reply is one line "REPLY<TAB>when", and the
        // example's reply is one of the documented forms.
        bool exampleDocumented = false;
        std::string_view rest = row.replies;
        while (!rest.empty()) {
            const std::string_view line = rest.substr(0, rest.find('\n'));
            const std::size_t tab = line.find('\t');
            ASSERT_NE(tab, std::string_view::npos) << std::string(line);
            const std::string_view reply = line.substr(0, tab);
            const std::string_view stem = reply.substr(0, reply.find_last_of("=") + 1);
            if (reply == row.exampleReply || (!stem.empty() && row.exampleReply.substr(0, stem.size()) == stem))
                exampleDocumented = true;
            rest = line.size() == rest.size() ? std::string_view() : rest.substr(line.size() + 1);
        }
        EXPECT_TRUE(exampleDocumented) << std::string(row.exampleReply);
        for (const std::string_view text : {row.summary, row.layout, row.fields})
            EXPECT_FALSE(text.empty());
    }
}

TEST(ToolVersion, NamesThePackageVersionAndTheFamilyOnTwoLines)
{
    struct Case {
        const FamilyConfig* family;
        std::string version;
        std::string text;
    };
    const Case cases[] = {
        {&kHexUtf8, "1.0.0-1", "printer-helper-tool 1.0.0-1\nfamily testfam, bus name org.example.Test\n"},
        {&kPlainBytes, "2.3.4-17", "printer-helper-tool 2.3.4-17\nfamily other, bus name org.example.Other\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        EXPECT_EQ(versionText(c.version, *c.family), c.text);
    }
}
