// ph_introspection_xml SERVICE_NAME PROTOCOL_UUID OUTPUT
//   Writes the introspection file of one family's interface, made from the
//   operations of the wire contract, so that the installed description and
//   the exported interface cannot drift apart. OUTPUT must be named after the
//   interface ("<interface name>.xml"), as share/dbus-1/interfaces/ wants.
// ph_introspection_xml --manual-page TEMPLATE OUTPUT
//   Copies the manual page TEMPLATE to OUTPUT with its marker line replaced
//   by the methods of the D-BUS INTERFACE section, written from the same rows.

#include "BusNames.h"
#include "Protocol.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The line of the page template that the methods replace.
constexpr std::string_view kManualPageMarker = ".\\\" D-BUS INTERFACE methods: written here by ph_introspection_xml";

struct ReplyLine {
    std::string_view reply;
    std::string_view when;
};

// The rows' replies field: one "REPLY<TAB>when" a line.
std::vector<ReplyLine> repliesOf(const OperationName& operation)
{
    std::vector<ReplyLine> lines;
    std::string_view rest = operation.replies;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        const std::size_t tab = line.find('\t');
        lines.push_back({line.substr(0, tab), tab == std::string_view::npos ? "" : line.substr(tab + 1)});
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return lines;
}

std::string xmlAttribute(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\n': out += "&#10;"; break;
        case '\t': out += "&#9;"; break;
        default: out += c;
        }
    }
    return out;
}

// The documentation of one method as plain text, for the DocString annotation.
std::string docString(const OperationName& operation)
{
    std::string text = std::string(operation.summary) + "\n\nRequest: " + std::string(operation.layout) + "\n" +
                       std::string(operation.fields) + "\n\nExample: " + std::string(operation.example) +
                       "\nanswered: " + std::string(operation.exampleReply) + "\n\nReplies:";
    for (const ReplyLine& line : repliesOf(operation))
        text += "\n" + std::string(line.reply) + ": " + std::string(line.when);
    return text;
}

std::string introspectionXml(const std::string& interfaceName)
{
    // The same form as the bus library's own answer to Introspect, so that a
    // test can compare the two element by element; the annotations are the
    // file's own.
    std::string xml =
        "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
        "\"https://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n"
        "<node>\n"
        " <interface name=\"" + interfaceName + "\">\n";
    for (const OperationName& operation : kOperationNames) {
        xml += "  <method name=\"" + std::string(operation.method) + "\">\n";
        xml += "   <annotation name=\"org.gtk.GDBus.DocString\" value=\"" + xmlAttribute(docString(operation)) +
               "\"/>\n";
        xml += "   <arg type=\"" + std::string(kMethodSignature) + "\" name=\"" + std::string(kRequestArgumentName) +
               "\" direction=\"in\"/>\n";
        xml += "   <arg type=\"" + std::string(kMethodSignature) + "\" name=\"" + std::string(kReplyArgumentName) +
               "\" direction=\"out\"/>\n";
        xml += "  </method>\n";
    }
    xml += " </interface>\n</node>\n";
    return xml;
}

// Text in a filled roff paragraph: backslashes escaped, and every word
// begins with \% (never hyphenated: names and tags must stay whole), which
// also keeps a line from starting with a control character.
std::string roffText(std::string_view text)
{
    std::string out = "\\%";
    for (const char c : text) {
        out += c == '\\' ? std::string("\\e") : std::string(1, c);
        if (c == ' ')
            out += "\\%";
    }
    return out;
}

// A literal string (request, reply): as roffText, and every '-' a minus sign,
// so that it renders as the ASCII character a client must send.
std::string roffLiteral(std::string_view text)
{
    std::string out;
    for (const char c : roffText(text))
        out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
}

// A literal string on a line of its own, indented and unfilled: a request
// must be copied exactly, so it is never broken or justified.
std::string roffDisplay(std::string_view text)
{
    return ".RS\n.EX\n" + roffLiteral(text) + "\n.EE\n.RE\n";
}

// The methods of the D-BUS INTERFACE section: each with its layout, what its
// values hold, its example and every reply.
std::string manualPageMethods()
{
    std::string roff;
    for (const OperationName& operation : kOperationNames) {
        roff += ".SS " + std::string(operation.method) + "\n";
        roff += roffText(operation.summary) + "\n.PP\nRequest:\n" + roffDisplay(operation.layout) + ".PP\n" +
                roffText(operation.fields) + "\n.PP\nAn example request:\n" + roffDisplay(operation.example) +
                "and its reply:\n" + roffDisplay(operation.exampleReply) + ".PP\nReplies:\n.PD 0\n";
        for (const ReplyLine& line : repliesOf(operation))
            roff += ".TP\n.B \"" + roffLiteral(line.reply) + "\"\n" + roffText(line.when) + "\n";
        roff += ".PD\n";
    }
    return roff;
}

bool writeFile(const std::string& path, const std::string& text, const char* program)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::fprintf(stderr, "%s: cannot write %s\n", program, path.c_str());
        return false;
    }
    return true;
}

int writeManualPage(const std::string& templatePath, const std::string& output, const char* program)
{
    std::ifstream in(templatePath, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: cannot read %s\n", program, templatePath.c_str());
        return 1;
    }
    std::ostringstream page;
    std::string line;
    int markers = 0;
    while (std::getline(in, line)) {
        if (line == kManualPageMarker) {
            page << manualPageMethods();
            ++markers;
        } else {
            page << line << '\n';
        }
    }
    // A template without its marker (or with two) would ship a page that
    // lacks the interface, or repeats it.
    if (markers != 1) {
        std::fprintf(stderr, "%s: %s holds the line \"%s\" %d times, not once\n", program, templatePath.c_str(),
                     std::string(kManualPageMarker).c_str(), markers);
        return 1;
    }
    return writeFile(output, page.str(), program) ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc == 4 && std::string_view(argv[1]) == "--manual-page")
        return writeManualPage(argv[2], argv[3], argv[0]);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SERVICE_NAME PROTOCOL_UUID OUTPUT\n       %s --manual-page TEMPLATE OUTPUT\n",
                     argv[0], argv[0]);
        return 2;
    }
    const std::string interfaceName = protocolInterfaceName(argv[1], argv[2]);
    const std::string output = argv[3];
    const std::string fileName = output.substr(output.find_last_of('/') + 1);
    if (fileName != interfaceName + ".xml") {
        std::fprintf(stderr, "%s: the file of %s must be named %s.xml, not %s\n", argv[0], interfaceName.c_str(),
                     interfaceName.c_str(), fileName.c_str());
        return 2;
    }
    return writeFile(output, introspectionXml(interfaceName), argv[0]) ? 0 : 1;
}
