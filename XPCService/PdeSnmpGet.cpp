#include "PdeSnmpGet.h"

#include "MIBConnection.h"
#include "SNMPMessage.h"
#include "Settings.h"
#include "Text.h"
#include "UniqueFd.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <random>
#include <string_view>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kHostEntry = 6;
constexpr std::size_t kCommunityEntry = 3;
constexpr std::size_t kOidEntry = 7;
constexpr std::size_t kReceiveBufferSize = 2000;
constexpr int kReceiveTries = 3;
// The longest the worker goes without looking at gCancelFlag while it waits.
constexpr auto kCancelSlice = std::chrono::milliseconds(10);

constexpr uint8_t kTypeInteger = 2;
constexpr uint8_t kTypeOctetString = 4;
constexpr uint8_t kTypeOther = 5;
constexpr uint8_t kTypeObjectId = 6;

bool cancelled() { return gCancelFlag.load(std::memory_order_relaxed) != 0; }

// Each thread draws from its own engine, seeded once from the system's
// entropy: overlapping calls never share or reseed a generator.
uint16_t drawRequestId()
{
    thread_local std::mt19937 engine{std::random_device{}()};
    return static_cast<uint16_t>(std::uniform_int_distribution<uint32_t>(0, 0xFFFF)(engine));
}

// The time-out as the worker uses it: milliseconds, at least 0, at most what
// 32 bits hold (a larger or negative setting would otherwise wrap).
int64_t timeoutMs()
{
    return std::clamp<int64_t>(gSnmpTimeout.load(std::memory_order_relaxed), 0, INT32_MAX);
}

// Sleeps until the deadline in cancel slices; answers false when cancelled.
bool sleepUntil(Clock::time_point deadline)
{
    while (Clock::now() < deadline) {
        if (cancelled())
            return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(kCancelSlice, deadline - Clock::now()));
    }
    return !cancelled();
}

enum class Wait { Readable, TimedOut, Cancelled };

// Waits for fd to become readable until the deadline, testing gCancelFlag
// between slices of at most 10 ms; EINTR does not end the wait.
Wait waitReadable(int fd, Clock::time_point deadline)
{
    for (;;) {
        if (cancelled())
            return Wait::Cancelled;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        const auto slice = std::clamp(left, std::chrono::milliseconds(0), std::chrono::milliseconds(kCancelSlice));
        pollfd p{fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(slice.count()));
        if (rc > 0)
            return Wait::Readable;
        if (rc < 0 && errno != EINTR)
            return Wait::TimedOut;
        if (rc == 0 && Clock::now() >= deadline)
            return Wait::TimedOut;
    }
}

struct AddrInfoFree {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

// Code point of the UTF-8 character that starts at text[i], with its length;
// none for a byte that does not start a character.
std::optional<std::pair<char32_t, std::size_t>> decodeAt(std::string_view text, std::size_t i)
{
    const auto b = static_cast<unsigned char>(text[i]);
    std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > text.size() || !isValidUtf8(text.substr(i, n)))
        return std::nullopt;
    char32_t c = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    for (std::size_t k = 1; k < n; ++k)
        c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    return std::make_pair(c, n);
}

// Start of the UTF-8 character that ends just before position end.
std::size_t lastCharStart(std::string_view text, std::size_t end)
{
    std::size_t i = end - 1;
    while (i > 0 && end - i < 4 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
        --i;
    return i;
}

template <typename Pred>
std::string_view trimBoth(std::string_view text, Pred inSet)
{
    while (!text.empty()) {
        const auto c = decodeAt(text, 0);
        if (!c || !inSet(c->first))
            break;
        text.remove_prefix(c->second);
    }
    while (!text.empty()) {
        const std::size_t start = lastCharStart(text, text.size());
        const auto c = decodeAt(text, start);
        if (!c || start + c->second != text.size() || !inSet(c->first))
            break;
        text.remove_suffix(text.size() - start);
    }
    return text;
}

bool isWhiteSpace(char32_t c)
{
    return c == U' ' || c == U'\t' || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

bool isLineBreak(char32_t c) { return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029; }

// Copies text and its NUL into the result area, cut to fit.
void storeString(UResult& uResult, const std::string& text)
{
    const std::string cut = cutAtUtf8Boundary(text, uResult.bytes.size() - 1);
    std::copy(cut.begin(), cut.end(), uResult.bytes.begin());
    uResult.bytes[cut.size()] = 0;
}

}  // namespace

std::string trimHostText(const std::string& host)
{
    return std::string(trimBoth(trimBoth(host, isWhiteSpace), isLineBreak));
}

std::optional<std::string> macAddressForm(const std::string& text)
{
    static constexpr std::size_t k17[] = {0, 3, 6, 9, 12, 15};
    static constexpr std::size_t k16[] = {4, 6, 8, 10, 12, 14};
    static constexpr std::size_t k12[] = {0, 2, 4, 6, 8, 10};
    const std::size_t* pairs = text.size() == 17 ? k17 : text.size() == 16 ? k16 : text.size() == 12 ? k12 : nullptr;
    if (pairs == nullptr)
        return std::nullopt;
    std::string form;
    for (std::size_t i = 0; i < 6; ++i) {
        if (i > 0)
            form += ':';
        form += text[pairs[i]];
        form += text[pairs[i] + 1];
    }
    return form;
}

std::string cutAtUtf8Boundary(const std::string& text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return text;
    std::size_t cut = maxBytes;
    // Back off over continuation bytes so the cut lands before a lead byte.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return text.substr(0, cut);
}

int32_t decodeSnmpAnswer(const std::vector<uint8_t>& answer, UResult& uResult, int32_t iType, int32_t rtnCharFlag,
                         uint8_t& valueType)
{
    uint8_t oidPositionIndex = 0;
    uint8_t oidLengthIndex = 0;
    uint64_t oidLengthValue = 0;
    SNMPMessage::extractOIDPositionAndLengthFromMessage(&answer, oidPositionIndex, oidLengthIndex, oidLengthValue);
    const uint64_t valueIndex = oidLengthValue + oidLengthIndex + 1;
    uint8_t type = kTypeOther;
    const std::optional<std::string> text = SNMPMessage::extractValueStringFromMessage(&answer, valueIndex, type);

    switch (type) {
    case kTypeInteger:
        uResult.setInteger(text ? leadingInt32(*text) : 0);
        break;
    case kTypeOctetString:
        if (text) {
            if (rtnCharFlag == 0)
                storeString(uResult, *text);
            else if (const auto mac = macAddressForm(*text))
                storeString(uResult, *mac);
        }
        break;
    case kTypeObjectId:
        if (text)
            storeString(uResult, *text);
        break;
    case kTypeOther:
        if (iType != kTypeOctetString) {
            valueType = type;
            return kSnmpNullValue;
        }
        // The caller asked for text: a value it cannot convert reads as empty.
        type = kTypeOctetString;
        break;
    default:
        valueType = type;
        return kSnmpUnknownType;
    }
    valueType = type;
    return kSnmpOk;
}

int32_t PdeSnmpGet(const ArgVector& args, UResult& uResult, int32_t iType, int32_t rtnCharFlag, uint8_t& valueType)
{
    const std::optional<std::string>& host = args[kHostEntry];
    const std::optional<std::string>& community = args[kCommunityEntry];
    const std::optional<std::string>& oid = args[kOidEntry];
    // A short request lacks the pieces a GetRequest needs: nothing is sent.
    if (!host || !community || !oid)
        return kSnmpNoAnswer;

    const uint16_t requestId = drawRequestId();
    std::vector<uint8_t> request;
    {
        MIBConnection conn;
        if (cancelled())
            return kSnmpCancelled;
        if (!conn.requestGenericWithSingleResponse(community, nullptr, oid, requestId))
            return kSnmpNoAnswer;
        if (const auto bytes = conn.msg().data())
            request = *bytes;
    }

    const int64_t t = timeoutMs();

    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* resolved = nullptr;
    if (::getaddrinfo(trimHostText(*host).c_str(), "161", &hints, &resolved) != 0 || resolved == nullptr)
        return kSnmpNoAnswer;
    const AddrInfoList addresses(resolved);

    // Socket and send failures cost the time-out, as an unanswered request does.
    const auto failAfterTimeout = [t] {
        return sleepUntil(Clock::now() + std::chrono::milliseconds(t)) ? kSnmpNoAnswer : kSnmpCancelled;
    };
    UniqueFd fd(::socket(addresses->ai_family, addresses->ai_socktype, 0));
    if (!fd)
        return failAfterTimeout();
    const ssize_t sent =
        request.empty() ? -1 : ::sendto(fd.get(), request.data(), request.size(), 0, addresses->ai_addr, addresses->ai_addrlen);
    if (sent < 1)
        return failAfterTimeout();

    if (waitReadable(fd.get(), Clock::now() + std::chrono::milliseconds(t)) == Wait::Cancelled)
        return kSnmpCancelled;

    // The first datagram is the answer, whatever try takes it and whoever sent it.
    std::vector<uint8_t> answer(kReceiveBufferSize, 0);
    for (int attempt = 0; attempt < kReceiveTries; ++attempt) {
        if (cancelled())
            return kSnmpCancelled;
        sockaddr_in source{};
        socklen_t sourceLength = sizeof source;
        const ssize_t got = ::recvfrom(fd.get(), answer.data(), answer.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&source), &sourceLength);
        if (got >= 1) {
            answer.resize(static_cast<std::size_t>(got));
            const int32_t status = decodeSnmpAnswer(answer, uResult, iType, rtnCharFlag, valueType);
            gtype.store(valueType, std::memory_order_relaxed);
            return status;
        }
    }
    return kSnmpNoAnswer;
}
