#include "FenwaXPCServiceDelegate.h"

#include "CancelWatcher.h"
#include "DescriptorBudget.h"
#include "FenwaServiceXPC.h"
#include "Protocol.h"

#include <memory>
#include <string>

namespace {

// One client's exported object: each operation reaches its entry point.
class ExportedService : public BusExportedObject {
public:
    ExportedService(StringForm stringForm, CancelWatcher& watcher, DescriptorBudget& descriptors)
        : service_(stringForm, watcher, descriptors)
    {
    }

    void dispatch(Operation operation, const std::string& request, const BusReply& reply) override
    {
        switch (operation) {
        case Operation::IsFilePathWritable: return service_.isFilePathWritable_XPC(request, reply);
        case Operation::WriteDictionaryToPlistFile: return service_.writeDictionaryToPlistFile_XPC(request, reply);
        case Operation::SendMagicPacket: return service_.sendMagicPacket_XPC(request, reply);
        case Operation::SendEchoAndRecvReply: return service_.sendEchoAndRecvReply_XPC(request, reply);
        case Operation::PdeSnmpGet: return service_.pdeSnmpGet_XPC(request, reply);
        case Operation::CancelFileWrite: return service_.cancelFileWrite_XPC(request, reply);
        }
    }

private:
    FenwaServiceXPC service_;
};

}  // namespace

FenwaXPCServiceDelegate::FenwaXPCServiceDelegate(StringForm stringForm, CancelWatcher& watcher,
                                                 DescriptorBudget& descriptors)
    : stringForm_(stringForm), watcher_(watcher), descriptors_(descriptors)
{
}

void FenwaXPCServiceDelegate::serviceStopping()
{
    descriptors_.stop();
    watcher_.stopAll();
}

bool FenwaXPCServiceDelegate::shouldAcceptNewConnection(BusPeer& peer)
{
    peer.exportedObject = std::make_shared<ExportedService>(stringForm_, watcher_, descriptors_);
    return true;
}

bool FenwaXPCServiceDelegate::mayWait(Operation operation) const
{
    return operation == Operation::SendEchoAndRecvReply || operation == Operation::PdeSnmpGet;
}
