#include "Request.h"

#include "SnmpTypeCode.h"
#include "Text.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

namespace {

// The fields of one layout: field i ends at tag i and starts at the end of
// tag i-1 (the first at the start of the request); the tail runs from the end
// of the last tag to the end of the request.
template <std::size_t N>
struct Cut {
    std::array<std::optional<std::string_view>, N> fields;  // none: its tag is missing
    std::optional<std::string_view> tail;                    // none: the last tag is missing
};

// Each tag at its first occurrence in the whole request. A field whose own tag
// is missing is absent; a tag found while the one before it is missing, or
// lying before the end of the one before it, leaves its field unmeasurable and
// the request cuts to nothing.
template <std::size_t N>
std::optional<Cut<N>> cutLayout(std::string_view request, const std::array<std::string_view, N>& tags)
{
    Cut<N> cut;
    std::size_t fieldStart = 0;
    bool previousFound = true;
    for (std::size_t i = 0; i < N; ++i) {
        const std::size_t pos = request.find(tags[i]);
        if (pos == std::string_view::npos) {
            previousFound = false;
            continue;
        }
        if (!previousFound || pos < fieldStart)
            return std::nullopt;
        cut.fields[i] = request.substr(fieldStart, pos - fieldStart);
        fieldStart = pos + tags[i].size();
    }
    if (previousFound)
        cut.tail = request.substr(fieldStart);
    return cut;
}

std::optional<std::string> unlessNull(const std::optional<std::string_view>& field)
{
    if (!field || *field == kNullMarker)
        return std::nullopt;
    return std::string(*field);
}

// Split at every ":arg:"; the text after the last one is not a piece.
std::vector<std::string> cutPieces(std::string_view rest)
{
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (pieces.size() < kArgVectorSize) {
        const std::size_t pos = rest.find(kTagArg, start);
        if (pos == std::string_view::npos)
            break;
        pieces.emplace_back(rest.substr(start, pos - start));
        start = pos + kTagArg.size();
    }
    return pieces;
}

}  // namespace

std::optional<PlistWriteRequest> cutPlistWriteRequest(std::string_view request)
{
    const auto cut = cutLayout<1>(request, {kTagAddUrl});
    if (!cut || !cut->tail)
        return std::nullopt;
    return PlistWriteRequest{std::string(*cut->fields[0]), std::string(*cut->tail)};
}

std::optional<MagicPacketRequest> cutMagicPacketRequest(std::string_view request)
{
    // The text after the password's tag is ignored.
    const auto cut = cutLayout<3>(request, {kTagIpAddressStr, kTagMacAddressStr, kTagPasswordStr});
    if (!cut)
        return std::nullopt;
    return MagicPacketRequest{unlessNull(cut->fields[0]), unlessNull(cut->fields[1]),
                              unlessNull(cut->fields[2])};
}

std::optional<EchoRequest> cutEchoRequest(std::string_view request)
{
    const auto cut = cutLayout<1>(request, {kTagEchoAddress});
    if (!cut || !cut->tail)
        return std::nullopt;
    return EchoRequest{std::string(*cut->fields[0]), std::min(leadingInt64(*cut->tail), kLongestTimeoutMs)};
}

std::optional<SnmpRequest> cutSnmpRequest(std::string_view request)
{
    const auto cut = cutLayout<7>(request, {kTagArgCount, kTagIType, kTagCancelFlag, kTagCancelFileName,
                                            kTagSnmpTimeout, kTagSnmpRetries, kTagRtnCharFlag});
    // The pieces are measured from ":rtnCharFlag:", and a tag is only found
    // when every tag before it is, so a tail means all seven fields are there.
    if (!cut || !cut->tail)
        return std::nullopt;
    const auto& f = cut->fields;
    SnmpRequest r;
    r.argCount = leadingInt32(*f[0]);
    r.iType = leadingInt32(*f[1]);
    if (*f[2] != kNullMarker)
        r.cancelFlag = leadingInt32(*f[2]);
    r.cancelFileName = std::string(*f[3]);
    r.snmpTimeout = leadingInt32(*f[4]);
    r.snmpRetries = leadingInt32(*f[5]);
    r.rtnCharFlag = leadingInt32(*f[6]);
    r.pieces = cutPieces(*cut->tail);
    return r;
}

ArgVector argVectorFrom(std::vector<std::string> pieces)
{
    ArgVector args;
    for (std::size_t k = 0; k < pieces.size() && k < args.size(); ++k)
        args[k] = std::move(pieces[k]);
    return args;
}

std::optional<std::string> cutCancelRequest(std::string_view request)
{
    const std::size_t pos = request.find(kTagCancelFileName);
    if (pos == std::string_view::npos)
        return std::nullopt;
    return std::string(request.substr(0, pos));
}

std::string boolReply(bool value) { return std::string(value ? kReplyTrue : kReplyFalse); }

std::string statusReply(int32_t status) { return std::to_string(status); }

std::string snmpReply(int32_t status, uint8_t valueType, const UResult& uResult, StringForm form)
{
    if (status != kSnmpOk)
        return std::string(kReplySnmpStatus) + std::to_string(status);
    switch (valueType) {
    case kSnmpTypeOctetString:
    case kSnmpTypeObjectId: {
        const std::string text = uResult.string();
        if (form == StringForm::Bytes)
            return std::string(kReplySnmpString) + latin1ToUtf8(text);
        // Bytes that are not UTF-8 give no string, which formats as "(null)".
        return std::string(kReplySnmpString) + (isValidUtf8(text) ? text : std::string("(null)"));
    }
    case kSnmpTypeInteger:
        return std::string(kReplySnmpInteger) + std::to_string(uResult.integer());
    default:
        return std::string(kReplyFalse);
    }
}
