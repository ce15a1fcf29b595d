#include "FenwaServiceXPC.h"

#include "CancelWatcher.h"
#include "FileOperations.h"
#include "PdeSnmpGet.h"
#include "Request.h"
#include "SendEchoAndRecvReply.h"
#include "SendMagicPacket.h"
#include "Settings.h"

FenwaServiceXPC::FenwaServiceXPC(StringForm stringForm, CancelWatcher& watcher)
    : stringForm_(stringForm), watcher_(watcher)
{
}

void FenwaServiceXPC::isFilePathWritable_XPC(const std::string& request, const Reply& reply)
{
    reply(boolReply(::isFilePathWritable_XPC(request)));
}

void FenwaServiceXPC::writeDictionaryToPlistFile_XPC(const std::string& request, const Reply& reply)
{
    const auto cut = cutPlistWriteRequest(request);
    if (!cut) {
        reply(std::string(kReplyFalse));
        return;
    }
    reply(boolReply(::writeDictionaryToPlistFile_XPC(fileUrlFromString(cut->urlText), cut->data)));
}

void FenwaServiceXPC::sendMagicPacket_XPC(const std::string& request, const Reply& reply)
{
    const auto cut = cutMagicPacketRequest(request);
    if (!cut) {
        reply(std::string(kReplyFalse));
        return;
    }
    reply(statusReply(SendMagicPacket(cut->ipAddress, cut->macAddress, cut->password)));
}

void FenwaServiceXPC::sendEchoAndRecvReply_XPC(const std::string& request, const Reply& reply)
{
    const auto cut = cutEchoRequest(request);
    if (!cut) {
        reply(std::string(kReplyFalse));
        return;
    }
    reply(boolReply(sendEchoAndRecvReply(cut->ipAddress.c_str(), cut->timeoutMsec)));
}

// The SNMP entry point: the cancel file exists before anything is sent (or
// the call answers "FALSE" with no setting changed), the watcher is started
// before the request's cancel flag is stored, and the reply comes from this
// call's own status and value type.
void FenwaServiceXPC::pdeSnmpGet_XPC(const std::string& request, const Reply& reply)
{
    const auto cut = cutSnmpRequest(request);
    if (!cut || !touchCancelFile(cut->cancelFileName)) {
        reply(std::string(kReplyFalse));
        return;
    }
    if (cut->cancelFlag)
        cancelFileReadThread(cut->cancelFileName);
    if (cut->snmpTimeout > 0)
        gSnmpTimeout = cut->snmpTimeout;
    if (cut->snmpRetries > 0)
        gSnmpRetries = cut->snmpRetries;

    const ArgVector args = argVectorFrom(cut->pieces);
    UResult uResult;
    if (cut->cancelFlag)
        gCancelFlag = *cut->cancelFlag;

    uint8_t valueType = 0;
    const int32_t status = PdeSnmpGet(args, uResult, cut->iType, cut->rtnCharFlag, valueType);
    reply(snmpReply(status, valueType, uResult, stringForm_));
}

void FenwaServiceXPC::cancelFileWrite_XPC(const std::string& request, const Reply& reply)
{
    reply(boolReply(cancelFileWrite(request)));
}

void FenwaServiceXPC::cancelFileReadThread(const std::string& path)
{
    watcher_.watch(path);
}
