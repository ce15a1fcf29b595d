#pragma once
// The service object that one client gets: the six entry points. Each cuts
// its request, runs its worker on the calling thread and answers through
// reply exactly once.

#include "FamilyConfig.h"

#include <functional>
#include <string>

class CancelWatcher;

using Reply = std::function<void(const std::string&)>;

class FenwaServiceXPC {
public:
    FenwaServiceXPC(StringForm stringForm, CancelWatcher& watcher);

    void isFilePathWritable_XPC(const std::string& request, const Reply& reply);
    void writeDictionaryToPlistFile_XPC(const std::string& request, const Reply& reply);
    void sendMagicPacket_XPC(const std::string& request, const Reply& reply);
    void sendEchoAndRecvReply_XPC(const std::string& request, const Reply& reply);
    void pdeSnmpGet_XPC(const std::string& request, const Reply& reply);
    void cancelFileWrite_XPC(const std::string& request, const Reply& reply);

    // Hands the cancel file of an SNMP call to the process's one watcher.
    void cancelFileReadThread(const std::string& path);

private:
    StringForm stringForm_;
    CancelWatcher& watcher_;
};
