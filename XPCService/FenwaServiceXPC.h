#pragma once
// The service object that one client gets: the six entry points. Each cuts
// its request, runs its worker on the calling thread and answers through
// reply exactly once.

#include "BusService.h"
#include "FamilyConfig.h"

#include <optional>
#include <string>

class CancelWatcher;
class DescriptorBudget;
struct SnmpRequest;

class FenwaServiceXPC {
public:
    FenwaServiceXPC(StringForm stringForm, CancelWatcher& watcher, DescriptorBudget& descriptors);

    void isFilePathWritable_XPC(const std::string& request, const BusReply& reply);
    void writeDictionaryToPlistFile_XPC(const std::string& request, const BusReply& reply);
    void sendMagicPacket_XPC(const std::string& request, const BusReply& reply);
    void sendEchoAndRecvReply_XPC(const std::string& request, const BusReply& reply);
    void pdeSnmpGet_XPC(const std::string& request, const BusReply& reply);
    void cancelFileWrite_XPC(const std::string& request, const BusReply& reply);

    // The cancel file that the watcher keeps an eye on while the SNMP read
    // runs: the request's, unless its cancel flag is "NULL".
    static std::optional<std::string> cancelFileReadThread(const SnmpRequest& request);

private:
    StringForm stringForm_;
    CancelWatcher& watcher_;
    DescriptorBudget& descriptors_;
};
