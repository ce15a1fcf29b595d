#include "PdeSnmpGet.h"

#include "MIBConnection.h"
#include "SNMPMessage.h"
#include "Settings.h"
#include "SnmpText.h"
#include "SnmpTypeCode.h"
#include "Text.h"
#include "UniqueFd.h"

#include <netdb.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>

namespace {

constexpr std::size_t kHostEntry = 6;
constexpr std::size_t kCommunityEntry = 3;
constexpr std::size_t kOidEntry = 7;
constexpr std::size_t kReceiveBufferSize = 2000;
constexpr int kReceiveTries = 3;

// Value tags the parser reports as type 5 but renders as text: the unsigned
// kinds (Counter, Gauge, TimeTicks, [APPLICATION 7]) and IpAddress.
bool isRenderedAsText(uint8_t tag) { return (tag >= 0x40 && tag <= 0x43) || tag == 0x47; }

// Each thread draws from its own engine, seeded once from the system's
// entropy: overlapping calls never share or reseed a generator.
uint16_t drawRequestId()
{
    thread_local std::mt19937 engine{std::random_device{}()};
    return static_cast<uint16_t>(std::uniform_int_distribution<uint32_t>(0, 0xFFFF)(engine));
}

struct AddrInfoFree {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

// Copies text and its NUL into the result area, cut to fit: a hex form at a
// whole group, any other text at a character boundary.
void storeString(UResult& uResult, const std::string& text, bool hexForm)
{
    const std::size_t room = uResult.bytes.size() - 1;
    const std::string cut = hexForm ? cutHexForm(text, room) : cutAtUtf8Boundary(text, room);
    std::copy(cut.begin(), cut.end(), uResult.bytes.begin());
    uResult.bytes[cut.size()] = 0;
}

bool isHexRendered(const std::vector<uint8_t>& answer, uint64_t valueIndex)
{
    const auto bytes = SNMPMessage::extractValueDataFromMessage(&answer, valueIndex);
    return bytes && SNMPMessage::rendersAsHexPairs(*bytes);
}

}  // namespace

int32_t decodeSnmpAnswer(const std::vector<uint8_t>& answer, UResult& uResult, int32_t iType, int32_t rtnCharFlag,
                         uint8_t& valueType)
{
    // Full positions: a community of up to 255 bytes pushes the binding past
    // what 8-bit positions can say. With no binding located there is no value
    // at all (reading "after the OID" would take the message's own length
    // byte for one).
    const auto at = SNMPMessage::firstBindingLocation(&answer);
    const uint64_t valueIndex = at ? (*at)[1] + (*at)[2] + 1 : 0;
    uint8_t type = kSnmpTypeOther;
    const std::optional<std::string> text =
        at ? SNMPMessage::extractValueStringFromMessage(&answer, valueIndex, type) : std::nullopt;

    switch (type) {
    case kSnmpTypeInteger:
        uResult.setInteger(text ? leadingInt32(*text) : 0);
        break;
    case kSnmpTypeOctetString:
        if (text) {
            if (rtnCharFlag == 0)
                storeString(uResult, *text, isHexRendered(answer, valueIndex));
            else if (const auto mac = macAddressForm(*text))
                storeString(uResult, *mac, false);
        }
        break;
    case kSnmpTypeObjectId:
        if (text)
            storeString(uResult, *text, false);
        break;
    case kSnmpTypeOther:
        // Counters, up-times and addresses are values a dialog shows: their
        // text goes back as a string, whatever type the caller expected.
        if (text && valueIndex < answer.size() && isRenderedAsText(answer[valueIndex])) {
            storeString(uResult, *text, false);
            type = kSnmpTypeOctetString;
            break;
        }
        if (iType != kSnmpTypeOctetString) {
            valueType = type;
            return kSnmpNullValue;
        }
        // The caller asked for text: a value it cannot convert reads as empty.
        type = kSnmpTypeOctetString;
        break;
    default:
        valueType = type;
        return kSnmpUnknownType;
    }
    valueType = type;
    return kSnmpOk;
}

int32_t PdeSnmpGet(const ArgVector& args, UResult& uResult, int32_t iType, int32_t rtnCharFlag, uint8_t& valueType,
                   const SnmpReadSettings& settings)
{
    const CancelCheck& cancelled = settings.cancelled;
    const std::optional<std::string>& host = args[kHostEntry];
    const std::optional<std::string>& community = args[kCommunityEntry];
    const std::optional<std::string>& oid = args[kOidEntry];
    // A short request lacks the pieces a GetRequest needs: nothing is sent.
    if (!host || !community || !oid)
        return kSnmpNoAnswer;
    const auto isCancelled = [&cancelled] { return cancelled && cancelled(); };

    const uint16_t requestId = drawRequestId();
    std::vector<uint8_t> request;
    {
        MIBConnection conn;
        if (isCancelled())
            return kSnmpCancelled;
        if (!conn.requestGenericWithSingleResponse(community, nullptr, oid, requestId))
            return kSnmpNoAnswer;
        if (const auto bytes = conn.msg().data())
            request = *bytes;
    }
    // The id as the agent reads it from our bytes and sends it back.
    const std::optional<int64_t> sentId = SNMPMessage::extractRequestIdFromMessage(&request);

    // Numeric addresses only, IPv4 or IPv6 (a link-local one with its
    // "%scope"): no name is ever looked up.
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* resolved = nullptr;
    if (::getaddrinfo(trimHostText(*host).c_str(), "161", &hints, &resolved) != 0 || resolved == nullptr)
        return kSnmpNoAnswer;
    const AddrInfoList addresses(resolved);

    // Socket and send failures cost the time-out, as an unanswered request does.
    const auto failAfterTimeout = [&] {
        const WaitResult slept = sleepUntil(deadlineAfter(settings.timeoutMs), cancelled);
        return slept == WaitResult::Cancelled ? kSnmpCancelled : kSnmpNoAnswer;
    };
    UniqueFd fd(::socket(addresses->ai_family, addresses->ai_socktype, 0));
    if (!fd)
        return failAfterTimeout();
    const ssize_t sent = request.empty() || !sentId ? -1
                                                    : ::sendto(fd.get(), request.data(), request.size(), 0,
                                                               addresses->ai_addr, addresses->ai_addrlen);
    if (sent < 1)
        return failAfterTimeout();

    // The first datagram with our request id is the answer, whoever sent it
    // (a printer with several addresses may answer from another one); stale
    // or foreign datagrams are dropped and the wait goes on to the deadline.
    const auto deadline = deadlineAfter(settings.timeoutMs);
    std::vector<uint8_t> answer(kReceiveBufferSize, 0);
    for (;;) {
        const WaitResult waited = waitFor(fd.get(), POLLIN, deadline, cancelled);
        if (waited == WaitResult::Cancelled)
            return kSnmpCancelled;
        for (int tries = 0; tries < kReceiveTries;) {
            if (isCancelled())
                return kSnmpCancelled;
            sockaddr_storage source{};
            socklen_t sourceLength = sizeof source;
            answer.resize(kReceiveBufferSize);
            const ssize_t got = ::recvfrom(fd.get(), answer.data(), answer.size(), MSG_DONTWAIT,
                                           reinterpret_cast<sockaddr*>(&source), &sourceLength);
            if (got < 1) {
                ++tries;
                continue;
            }
            answer.resize(static_cast<std::size_t>(got));
            if (SNMPMessage::extractRequestIdFromMessage(&answer) != sentId) {
                // Dropping costs no try while time is left; past the deadline
                // it does, so a flood cannot hold the call.
                if (WaitClock::now() >= deadline)
                    ++tries;
                continue;
            }
            const int32_t status = decodeSnmpAnswer(answer, uResult, iType, rtnCharFlag, valueType);
            gtype.store(valueType, std::memory_order_relaxed);
            return status;
        }
        if (waited != WaitResult::Ready || WaitClock::now() >= deadline)
            return kSnmpNoAnswer;
    }
}
