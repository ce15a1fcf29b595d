#include "FenwaXPCServiceDelegate.h"

#include "CancelWatcher.h"
#include "DescriptorBudget.h"
#include "FenwaServiceXPC.h"
#include "FileOperations.h"
#include "Protocol.h"

#include <iterator>
#include <memory>

namespace {

using EntryPoint = void (FenwaServiceXPC::*)(const std::string&, const BusReply&);

// What the service side knows of each operation, in protocol order: where its
// calls go, and whether they may wait long (only the network probes do; the
// file operations and the cancel call never queue behind them).
struct ServiceOperation {
    Operation operation;
    EntryPoint entryPoint;
    bool mayWait;
};
constexpr ServiceOperation kServiceOperations[] = {
    {Operation::IsFilePathWritable, &FenwaServiceXPC::isFilePathWritable_XPC, false},
    {Operation::WriteDictionaryToPlistFile, &FenwaServiceXPC::writeDictionaryToPlistFile_XPC, false},
    {Operation::SendMagicPacket, &FenwaServiceXPC::sendMagicPacket_XPC, false},
    {Operation::SendEchoAndRecvReply, &FenwaServiceXPC::sendEchoAndRecvReply_XPC, true},
    {Operation::PdeSnmpGet, &FenwaServiceXPC::pdeSnmpGet_XPC, true},
    {Operation::CancelFileWrite, &FenwaServiceXPC::cancelFileWrite_XPC, false},
};

constexpr bool inProtocolOrder()
{
    if (std::size(kServiceOperations) != std::size(kOperationNames))
        return false;
    for (std::size_t i = 0; i < std::size(kServiceOperations); ++i)
        if (kServiceOperations[i].operation != kOperationNames[i].operation)
            return false;
    return true;
}
static_assert(inProtocolOrder(), "one service row for each operation, in the order of kOperationNames");

// One client's exported object: routes a method name to its entry point.
class ExportedService : public BusExportedObject {
public:
    ExportedService(StringForm stringForm, CancelWatcher& watcher, DescriptorBudget& descriptors)
        : service_(stringForm, watcher, descriptors)
    {
    }

    void dispatch(const std::string& method, const std::string& request, const BusReply& reply) override
    {
        for (const ServiceOperation& row : kServiceOperations) {
            if (method == methodName(row.operation)) {
                (service_.*row.entryPoint)(request, reply);
                return;
            }
        }
        // Only the six names are exported, so the bus never routes another one
        // here; leaving it unanswered makes the connection layer send an error.
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

std::vector<BusMethod> FenwaXPCServiceDelegate::methods()
{
    std::vector<BusMethod> methods;
    for (const ServiceOperation& row : kServiceOperations)
        methods.push_back(BusMethod{std::string(methodName(row.operation)), row.mayWait});
    return methods;
}
