#include "FenwaServiceXPC.h"

#include "CancelWatcher.h"
#include "FileOperations.h"
#include "PdeSnmpGet.h"
#include "Request.h"
#include "SendEchoAndRecvReply.h"
#include "SendMagicPacket.h"
#include "Settings.h"

#include <exception>

namespace {

// Every call is answered exactly once: the reply is computed first, anything
// thrown on the way (an allocation failing) becomes "FALSE", and the reply is
// sent once at the end.
template <typename Work>
void answer(const Reply& reply, Work work)
{
    std::string text;
    try {
        text = work();
    } catch (...) {
        text = std::string(kReplyFalse);
    }
    reply(text);
}

}  // namespace

FenwaServiceXPC::FenwaServiceXPC(StringForm stringForm, CancelWatcher& watcher)
    : stringForm_(stringForm), watcher_(watcher)
{
}

void FenwaServiceXPC::isFilePathWritable_XPC(const std::string& request, const Reply& reply)
{
    answer(reply, [&] { return boolReply(::isFilePathWritable_XPC(request)); });
}

void FenwaServiceXPC::writeDictionaryToPlistFile_XPC(const std::string& request, const Reply& reply)
{
    answer(reply, [&] {
        const auto cut = cutPlistWriteRequest(request);
        if (!cut)
            return boolReply(false);
        return boolReply(::writeDictionaryToPlistFile_XPC(fileUrlFromString(cut->urlText), cut->data));
    });
}

void FenwaServiceXPC::sendMagicPacket_XPC(const std::string& request, const Reply& reply)
{
    answer(reply, [&] {
        const auto cut = cutMagicPacketRequest(request);
        if (!cut)
            return boolReply(false);
        return statusReply(SendMagicPacket(cut->ipAddress, cut->macAddress, cut->password));
    });
}

void FenwaServiceXPC::sendEchoAndRecvReply_XPC(const std::string& request, const Reply& reply)
{
    answer(reply, [&] {
        const auto cut = cutEchoRequest(request);
        if (!cut)
            return boolReply(false);
        return boolReply(sendEchoAndRecvReply(cut->ipAddress.c_str(), cut->timeoutMsec));
    });
}

void FenwaServiceXPC::pdeSnmpGet_XPC(const std::string& request, const Reply& reply)
{
    answer(reply, [&] {
        const auto cut = cutSnmpRequest(request);
        // The cancel file must exist before anything is sent; without it the
        // call changes no setting and starts no watcher.
        if (!cut || !touchCancelFile(cut->cancelFileName))
            return boolReply(false);
        if (cut->cancelFlag)
            cancelFileReadThread(cut->cancelFileName);
        if (cut->snmpTimeout > 0)
            gSnmpTimeout.store(cut->snmpTimeout);
        if (cut->snmpRetries > 0)
            gSnmpRetries.store(cut->snmpRetries);

        const ArgVector args = argVectorFrom(cut->pieces);
        UResult uResult{};
        // After the watcher has started: the request's value overrules a
        // cancel that the watcher raised in between.
        if (cut->cancelFlag)
            gCancelFlag.store(*cut->cancelFlag);

        // The reply comes from this call's own status and value type, not from
        // gtype, which an overlapping call may have written since.
        uint8_t valueType = 0;
        const int32_t status = PdeSnmpGet(args, uResult, cut->iType, cut->rtnCharFlag, valueType);
        return snmpReply(status, valueType, uResult, stringForm_);
    });
}

void FenwaServiceXPC::cancelFileWrite_XPC(const std::string& request, const Reply& reply)
{
    answer(reply, [&] { return boolReply(cancelFileWrite(request)); });
}

void FenwaServiceXPC::cancelFileReadThread(const std::string& path) { watcher_.watch(path); }
