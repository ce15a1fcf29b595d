// printer-helper-tool: one operation, one call to the family's service, one
// line on stdout. Exit 0 once a reply was printed (or deliberately not), 2 for
// a usage error, 69 when the bus or the service is unavailable.

#include "BusClient.h"
#include "BusNames.h"
#include "FamilyConfig.h"
#include "ToolRequest.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

// The version: the project's, or the Debian package's in a package build (cmake/Families.cmake).
#ifndef PH_PACKAGE_VERSION
#error "PH_PACKAGE_VERSION must be defined by the build"
#endif

namespace {
constexpr int kExitUsage = 2;
constexpr int kExitUnavailable = 69;  // EX_UNAVAILABLE
}

std::atomic<int> g_LoopFlag{0};  // set by the reply handler as its last step
int g_X = 0;                     // the magic-packet reply is printed only when 1

int main(int argc, char* argv[])
{
    // Relative paths are the caller's: they go out made absolute against
    // this folder (none known: as they are, and the service refuses them).
    std::error_code noFolder;
    const ToolCommand command = parseToolCommand(argc, argv, std::filesystem::current_path(noFolder).string());
    switch (command.kind) {
    case ToolCommand::Kind::Help:
        std::fputs(helpText(argc > 0 && argv[0] ? argv[0] : "printer-helper-tool", kFamily).c_str(), stdout);
        return 0;
    case ToolCommand::Kind::Version:
        std::fputs(versionText(PH_PACKAGE_VERSION, kFamily).c_str(), stdout);
        return 0;
    case ToolCommand::Kind::Usage:
        std::fprintf(stderr, "printer-helper-tool: %s\n", command.diagnostic.c_str());
        return kExitUsage;
    case ToolCommand::Kind::Unknown:
        std::fprintf(stderr, "printer-helper-tool: %s\n", command.diagnostic.c_str());
        return 0;
    case ToolCommand::Kind::Call:
        break;
    }
    g_X = printSwitchOn(argc, argv) ? 1 : 0;

    std::string error;
    std::unique_ptr<BusClient> bus = BusClient::connectSession(error);
    if (!bus) {
        std::fprintf(stderr, "printer-helper-tool: %s\n", error.c_str());
        return kExitUnavailable;
    }

    bool failed = false;
    std::string failure;
    BusClient* client = bus.get();
    auto handler = [&](const BusCallOutcome& outcome) {
        client->stop();
        if (outcome.ok) {
            if (command.operation != Operation::SendMagicPacket || g_X == 1) {
                std::fputs(replyLine(command.operation, outcome.reply, kFamily.toolOutput).c_str(), stdout);
                std::fflush(stdout);
            }
        } else {
            failed = true;
            failure = outcome.error;
        }
        g_LoopFlag = 1;
    };
    const std::string interfaceName = protocolInterfaceName(kFamily.serviceName, kFamily.protocolUuid);
    if (!bus->callAsync(kFamily.serviceName, interfaceName, command.method, command.request, handler, error)) {
        std::fprintf(stderr, "printer-helper-tool: %s\n", error.c_str());
        return kExitUnavailable;
    }
    if (g_LoopFlag == 0 && !bus->wait(error)) {
        std::fprintf(stderr, "printer-helper-tool: %s\n", error.c_str());
        return kExitUnavailable;
    }
    if (failed || g_LoopFlag == 0) {
        std::fprintf(stderr, "printer-helper-tool: the service did not answer: %s\n", failure.c_str());
        return kExitUnavailable;
    }
    return 0;
}
