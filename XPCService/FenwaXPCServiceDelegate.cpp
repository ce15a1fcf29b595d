#include "FenwaXPCServiceDelegate.h"

#include "CancelWatcher.h"
#include "FenwaServiceXPC.h"

#include <memory>

namespace {

// One client's exported object: routes a method name to its entry point.
class ExportedService : public BusExportedObject {
public:
    ExportedService(StringForm stringForm, CancelWatcher& watcher) : service_(stringForm, watcher) {}

    void dispatch(const std::string& method, const std::string& request, const BusReply& reply) override
    {
        using EntryPoint = void (FenwaServiceXPC::*)(const std::string&, const Reply&);
        static const std::pair<const char*, EntryPoint> kEntryPoints[] = {
            {"isFilePathWritable_XPC", &FenwaServiceXPC::isFilePathWritable_XPC},
            {"writeDictionaryToPlistFile_XPC", &FenwaServiceXPC::writeDictionaryToPlistFile_XPC},
            {"sendMagicPacket_XPC", &FenwaServiceXPC::sendMagicPacket_XPC},
            {"sendEchoAndRecvReply_XPC", &FenwaServiceXPC::sendEchoAndRecvReply_XPC},
            {"pdeSnmpGet_XPC", &FenwaServiceXPC::pdeSnmpGet_XPC},
            {"cancelFileWrite_XPC", &FenwaServiceXPC::cancelFileWrite_XPC},
        };
        for (const auto& [name, entryPoint] : kEntryPoints) {
            if (method == name) {
                (service_.*entryPoint)(request, reply);
                return;
            }
        }
        // Only the six names are exported, so the bus never routes another one
        // here; leaving it unanswered makes the connection layer send an error.
    }

    // Only the network probes wait long; the file operations and the cancel
    // call never queue behind them.
    bool mayWait(const std::string& method) const override
    {
        return method == "sendEchoAndRecvReply_XPC" || method == "pdeSnmpGet_XPC";
    }

private:
    FenwaServiceXPC service_;
};

}  // namespace

FenwaXPCServiceDelegate::FenwaXPCServiceDelegate(StringForm stringForm, CancelWatcher& watcher)
    : stringForm_(stringForm), watcher_(watcher)
{
}

void FenwaXPCServiceDelegate::serviceStopping() { watcher_.stopAll(); }

bool FenwaXPCServiceDelegate::shouldAcceptNewConnection(BusPeer& peer)
{
    peer.exportedObject = std::make_shared<ExportedService>(stringForm_, watcher_);
    return true;
}

const std::vector<std::string>& FenwaXPCServiceDelegate::methodNames()
{
    static const std::vector<std::string> kNames = {
        "isFilePathWritable_XPC", "writeDictionaryToPlistFile_XPC", "sendMagicPacket_XPC",
        "sendEchoAndRecvReply_XPC", "pdeSnmpGet_XPC", "cancelFileWrite_XPC",
    };
    return kNames;
}
