#include "FenwaXPCServiceDelegate.h"

#include "CancelWatcher.h"
#include "FenwaServiceXPC.h"
#include "FileOperations.h"
#include "Protocol.h"

#include <memory>

namespace {

using EntryPoint = void (FenwaServiceXPC::*)(const std::string&, const Reply&);

EntryPoint entryPointOf(Operation operation)
{
    switch (operation) {
    case Operation::IsFilePathWritable:
        return &FenwaServiceXPC::isFilePathWritable_XPC;
    case Operation::WriteDictionaryToPlistFile:
        return &FenwaServiceXPC::writeDictionaryToPlistFile_XPC;
    case Operation::SendMagicPacket:
        return &FenwaServiceXPC::sendMagicPacket_XPC;
    case Operation::SendEchoAndRecvReply:
        return &FenwaServiceXPC::sendEchoAndRecvReply_XPC;
    case Operation::PdeSnmpGet:
        return &FenwaServiceXPC::pdeSnmpGet_XPC;
    case Operation::CancelFileWrite:
        break;
    }
    return &FenwaServiceXPC::cancelFileWrite_XPC;
}

// One client's exported object: routes a method name to its entry point.
class ExportedService : public BusExportedObject {
public:
    ExportedService(StringForm stringForm, CancelWatcher& watcher) : service_(stringForm, watcher) {}

    void dispatch(const std::string& method, const std::string& request, const BusReply& reply) override
    {
        for (const OperationName& name : kOperationNames) {
            if (method == name.method) {
                (service_.*entryPointOf(name.operation))(request, reply);
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

void FenwaXPCServiceDelegate::serviceStopping()
{
    // The temporary files go first: the process may end soon after this,
    // without waiting for the writes that own them.
    stopFileWrites();
    watcher_.stopAll();
}

bool FenwaXPCServiceDelegate::shouldAcceptNewConnection(BusPeer& peer)
{
    peer.exportedObject = std::make_shared<ExportedService>(stringForm_, watcher_);
    return true;
}

const std::vector<std::string>& FenwaXPCServiceDelegate::methodNames()
{
    static const std::vector<std::string> kNames = [] {
        std::vector<std::string> names;
        for (const OperationName& name : kOperationNames)
            names.emplace_back(name.method);
        return names;
    }();
    return kNames;
}
