// ph_introspection_xml SERVICE_NAME PROTOCOL_UUID OUTPUT
// Writes the introspection file of one family's interface, made from the
// operations of the wire contract, so that the installed description and the
// exported interface cannot drift apart. OUTPUT must be named after the
// interface ("<interface name>.xml"), as share/dbus-1/interfaces/ wants.

#include "BusNames.h"
#include "Protocol.h"

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char* argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SERVICE_NAME PROTOCOL_UUID OUTPUT\n", argv[0]);
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

    // The same form as the bus library's own answer to Introspect, so that a
    // test can compare the two element by element.
    std::string xml =
        "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
        "\"https://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n"
        "<node>\n"
        " <interface name=\"" + interfaceName + "\">\n";
    for (const OperationName& operation : kOperationNames) {
        xml += "  <method name=\"" + std::string(operation.method) + "\">\n";
        xml += "   <arg type=\"" + std::string(kMethodSignature) + "\" name=\"" + std::string(kRequestArgumentName) +
               "\" direction=\"in\"/>\n";
        xml += "   <arg type=\"" + std::string(kMethodSignature) + "\" name=\"" + std::string(kReplyArgumentName) +
               "\" direction=\"out\"/>\n";
        xml += "  </method>\n";
    }
    xml += " </interface>\n</node>\n";

    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out << xml;
    out.close();
    if (!out) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], output.c_str());
        return 1;
    }
    return 0;
}
