#include "FenwaServiceXPC.h"

#include "CallCancel.h"
#include "CancelWatcher.h"
#include "DescriptorBudget.h"
#include "FileOperations.h"
#include "PdeSnmpGet.h"
#include "Request.h"
#include "SendEchoAndRecvReply.h"
#include "SendMagicPacket.h"
#include "Settings.h"

#include <algorithm>
#include <exception>
#include <string_view>
#include <utility>
#include <syslog.h>

namespace {

// Every call is answered exactly once: the reply is computed first, anything
// thrown on the way (an allocation failing) becomes "FALSE", and the reply is
// sent once at the end.
template <typename Work>
void answer(const BusReply& reply, Work work)
{
    std::string text;
    try {
        text = work();
    } catch (...) {
        text = std::string(kReplyFalse);
    }
    reply(text);
}

// A network call's answer, unless the service stopped it: then no reply is
// given here, and the connection layer answers that the service is stopping.
template <typename Work>
void answerUnlessStopped(const BusReply& reply, const CallCancel& cancel, Work work)
{
    std::string text;
    try {
        text = work();
    } catch (...) {
        text = std::string(kReplyFalse);
    }
    if (!cancel.stopped())
        reply(text);
}

// A network call that got no descriptors: its answer, unless the service
// is stopping, when the connection layer answers that instead.
template <typename Work>
void answerUnlessStopping(const BusReply& reply, DescriptorBudget& descriptors, Work work)
{
    if (!descriptors.stopped())
        answer(reply, work);
}

// A socket and an interrupt.
constexpr std::size_t kNetworkCallDescriptors = 2;

std::chrono::milliseconds millisecondsOf(int64_t ms) { return std::chrono::milliseconds(ms < 0 ? 0 : ms); }

bool startsAtRoot(std::string_view path) { return !path.empty() && path.front() == '/'; }

// The cancel call logs the request; a request can be as long as a bus message,
// a log line need not be.
constexpr std::size_t kMaxLoggedBytes = 4096;

void logCancelLine(const char* label, std::string_view text)
{
    const int length = static_cast<int>(std::min(text.size(), kMaxLoggedBytes));
    syslog(LOG_ERR, "helper - cancelFileWrite - %s = %.*s", label, length, text.data());
}

}  // namespace

FenwaServiceXPC::FenwaServiceXPC(StringForm stringForm, CancelWatcher& watcher, DescriptorBudget& descriptors)
    : stringForm_(stringForm), watcher_(watcher), descriptors_(descriptors)
{
}

void FenwaServiceXPC::isFilePathWritable_XPC(const std::string& request, const BusReply& reply)
{
    answer(reply, [&] { return boolReply(::isFilePathWritable_XPC(request)); });
}

void FenwaServiceXPC::writeDictionaryToPlistFile_XPC(const std::string& request, const BusReply& reply)
{
    answer(reply, [&] {
        const auto cut = cutPlistWriteRequest(request);
        if (!cut)
            return boolReply(false);
        return boolReply(::writeDictionaryToPlistFile_XPC(fileUrlFromString(cut->urlText), cut->data));
    });
}

void FenwaServiceXPC::sendMagicPacket_XPC(const std::string& request, const BusReply& reply)
{
    answer(reply, [&] {
        const auto cut = cutMagicPacketRequest(request);
        if (!cut)
            return boolReply(false);
        return statusReply(SendMagicPacket(cut->ipAddress, cut->macAddress, cut->password));
    });
}

void FenwaServiceXPC::sendEchoAndRecvReply_XPC(const std::string& request, const BusReply& reply)
{
    const auto cut = cutEchoRequest(request);
    if (!cut) {
        answer(reply, [] { return boolReply(false); });
        return;
    }
    const DescriptorBudget::Permit permit = descriptors_.acquire(kNetworkCallDescriptors, millisecondsOf(cut->timeoutMsec));
    if (!permit) {
        answerUnlessStopping(reply, descriptors_, [] { return boolReply(false); });
        return;
    }
    CallCancel cancel(false);
    const CancelWatcher::Running running(watcher_, cancel, std::nullopt);
    answerUnlessStopped(reply, cancel, [&] {
        return boolReply(sendEchoAndRecvReply(cut->ipAddress.c_str(), cut->timeoutMsec, cancel.check()));
    });
}

void FenwaServiceXPC::pdeSnmpGet_XPC(const std::string& request, const BusReply& reply)
{
    auto cut = cutSnmpRequest(request);
    // The cancel file must exist before anything is sent; without it the
    // call changes no setting and watches nothing. A relative path would name
    // a file in the service's working folder, not the caller's.
    if (!cut || !startsAtRoot(cut->cancelFileName) || !touchCancelFile(cut->cancelFileName)) {
        answer(reply, [] { return boolReply(false); });
        return;
    }
    // The read runs with its own time-out, or the one stored as it starts; a
    // read that starts meanwhile changes the stored one for later reads only.
    SnmpReadSettings settings;
    settings.timeoutMs = cut->snmpTimeout > 0 ? cut->snmpTimeout : gSnmpTimeout.load();
    // No descriptor for its socket within its time-out: the read fails as
    // one whose socket could not be opened.
    const DescriptorBudget::Permit permit =
        descriptors_.acquire(kNetworkCallDescriptors, millisecondsOf(settings.timeoutMs));
    if (!permit) {
        answerUnlessStopping(reply, descriptors_, [&] { return snmpReply(kSnmpNoAnswer, 0, UResult{}, stringForm_); });
        return;
    }

    // A read with a cancel flag answers to its own cancel file; one with
    // "NULL" follows gCancelFlag. The request's own flag can cancel its read
    // but never undo a cancel of its file.
    CallCancel cancel(!cut->cancelFlag);
    settings.cancelled = cancel.check();
    const CancelWatcher::Running running(watcher_, cancel, cancelFileReadThread(*cut));
    answerUnlessStopped(reply, cancel, [&] {
        if (cut->snmpTimeout > 0)
            gSnmpTimeout.store(cut->snmpTimeout);
        if (cut->snmpRetries > 0)
            gSnmpRetries.store(cut->snmpRetries);

        const ArgVector args = argVectorFrom(std::move(cut->pieces));
        UResult uResult{};
        if (cut->cancelFlag) {
            watcher_.storeCancelFlag(*cut->cancelFlag);
            if (*cut->cancelFlag != 0)
                cancel.raise(CallCancel::Cause::Cancel);
        }

        // The reply comes from this call's own status and value type, not from
        // gtype, which an overlapping call may have written since.
        uint8_t valueType = 0;
        const int32_t status = PdeSnmpGet(args, uResult, cut->iType, cut->rtnCharFlag, valueType, settings);
        return snmpReply(status, valueType, uResult, stringForm_);
    });
}

void FenwaServiceXPC::cancelFileWrite_XPC(const std::string& request, const BusReply& reply)
{
    answer(reply, [&] {
        const std::optional<std::string> path = cutCancelRequest(request);
        logCancelLine("argString", request);
        logCancelLine("argcStr", path ? std::string_view(*path) : "(null)");
        // Only an absolute path: a relative one would be read from the
        // service's working folder.
        const bool appended = path && startsAtRoot(*path) && appendCancelByte(path);
        if (appended)
            watcher_.cancelWritten(*path);
        return boolReply(appended);
    });
}

std::optional<std::string> FenwaServiceXPC::cancelFileReadThread(const SnmpRequest& request)
{
    if (!request.cancelFlag)
        return std::nullopt;
    return request.cancelFileName;
}
