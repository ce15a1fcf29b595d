// The whole decode-and-store path of an SNMP answer on arbitrary bytes: the
// first byte chooses iType (2 or 4) and the MAC form, the rest is the
// datagram, as PdeSnmpGet hands it over after the request id matched.
#include "Ber.h"
#include "PdeSnmpGet.h"
#include "SNMPMessage.h"
#include "Utf8.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace {

// One element of a message read as a tree: containers hold the elements
// their content is made of, other elements their content bytes.
struct Node {
    uint8_t tag;
    std::vector<uint8_t> content;
    std::vector<Node> children;
};

bool isContainer(uint8_t tag) { return tag == 0x30 || (tag >= 0xA0 && tag <= 0xA4); }

// The elements [cur, end) is made of, wholly and exactly, each container's
// content too; none when any length cannot be read, an element runs past its
// container, or the nesting is deeper than any SNMP message's.
std::optional<std::vector<Node>> readTree(const uint8_t* cur, const uint8_t* end, int depth)
{
    if (depth > 8)
        return std::nullopt;
    std::vector<Node> nodes;
    while (cur < end) {
        const auto e = ber::readElement(cur, end);
        if (!e)
            return std::nullopt;
        Node n{e->tag, {}, {}};
        if (isContainer(e->tag)) {
            auto children = readTree(e->content, e->contentEnd, depth + 1);
            if (!children)
                return std::nullopt;
            n.children = std::move(*children);
        } else {
            n.content.assign(e->content, e->contentEnd);
        }
        nodes.push_back(std::move(n));
    }
    return nodes;
}

// Writes the tree again with every length in the long form of `width` bytes
// (more where the length needs them), written here rather than by the
// builder, which knows only the short form and 82.
void writeWide(const Node& n, uint32_t width, std::vector<uint8_t>& out)
{
    std::vector<uint8_t> content = n.content;
    for (const Node& child : n.children)
        writeWide(child, width, content);
    uint32_t bytes = 0;
    for (uint64_t rest = content.size(); rest != 0; rest >>= 8)
        ++bytes;
    if (bytes < width)
        bytes = width;
    out.push_back(n.tag);
    out.push_back(static_cast<uint8_t>(0x80 | bytes));
    for (uint32_t k = bytes; k-- > 0;)
        out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(content.size()) >> (8 * k)));
    out.insert(out.end(), content.begin(), content.end());
}

bool hasTags(const std::vector<Node>& nodes, std::initializer_list<bool (*)(uint8_t)> tests)
{
    if (nodes.size() < tests.size())
        return false;
    std::size_t k = 0;
    for (auto test : tests)
        if (!test(nodes[k++].tag))
            return false;
    return true;
}

bool isInteger(uint8_t t) { return t == 0x02; }
bool isOctets(uint8_t t) { return t == 0x04; }
bool isSequence(uint8_t t) { return t == 0x30; }
bool isOid(uint8_t t) { return t == 0x06; }
bool isPdu(uint8_t t) { return t >= 0xA0 && t <= 0xA4; }

// The first binding's value when the tree has the shape of a v1 message down
// to it (version, community, PDU, three INTEGERs, the list, a binding, its
// OID and a value), so the reader finds it by the structure whatever the
// length forms; none otherwise.
const Node* firstValueOfMessage(const std::vector<Node>& top)
{
    if (top.size() != 1 || !isSequence(top[0].tag))
        return nullptr;
    const auto& message = top[0].children;
    if (!hasTags(message, {isInteger, isOctets, isPdu}))
        return nullptr;
    const auto& pdu = message[2].children;
    if (!hasTags(pdu, {isInteger, isInteger, isInteger, isSequence}))
        return nullptr;
    const auto& list = pdu[3].children;
    if (!hasTags(list, {isSequence}))
        return nullptr;
    const auto& binding = list[0].children;
    if (binding.size() < 2 || !isOid(binding[0].tag))
        return nullptr;
    return &binding[1];
}

struct Decoded {
    int32_t status;
    uint8_t type;
    UResult result;
};

Decoded decode(const std::vector<uint8_t>& answer, int32_t iType, int32_t rtnCharFlag)
{
    Decoded d{0, 0xEE, UResult{}};
    d.status = decodeSnmpAnswer(answer, d.result, iType, rtnCharFlag, d.type);
    return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const int32_t iType = (data[0] & 1) ? 4 : 2;
    const int32_t rtnCharFlag = (data[0] & 2) ? 1 : 0;
    const std::vector<uint8_t> answer(data + 1, data + size);
    const Decoded d = decode(answer, iType, rtnCharFlag);
    const int32_t status = d.status;
    const uint8_t type = d.type;
    const UResult& u = d.result;

    if (status != kSnmpOk && status != kSnmpNullValue && status != kSnmpUnknownType)
        __builtin_trap();
    // The area always ends in NUL; a failure leaves it untouched.
    if (u.bytes.back() != 0)
        __builtin_trap();
    if (status != kSnmpOk) {
        for (uint8_t b : u.bytes)
            if (b != 0)
                __builtin_trap();
    } else if (type != 2 && type != 4 && type != 6) {
        __builtin_trap();
    }
    // Text stored without the MAC form is cut at a character boundary, and a
    // hex form at a whole group.
    const std::string text = u.string();
    if (status == kSnmpOk && type == 4 && rtnCharFlag == 0) {
        if (!isValidUtf8(text))
            __builtin_trap();
        // The value is found where the worker finds it: past the first
        // binding's OID, at any position.
        // With none, text was asked for and nothing could be read: it is empty.
        const auto location = SNMPMessage::firstBindingLocation(&answer);
        if (!location) {
            if (!text.empty())
                __builtin_trap();
        } else {
            const uint64_t at = (*location)[1] + (*location)[2] + 1;
            const auto raw = SNMPMessage::extractValueDataFromMessage(&answer, at);
            const bool hexForm =
                at < answer.size() && answer[at] == 0x04 && raw && SNMPMessage::rendersAsHexPairs(*raw);
            if (hexForm && !text.empty() && (text.back() == '-' || text.size() % 3 != 2))
                __builtin_trap();
        }
    }

    // A whole v1 message reads the same with every length in any long form,
    // 81 to 84: request id, status, type and stored value. (An IpAddress is
    // read as the four bytes after its length whatever that length says, so
    // a shorter one would read other bytes once the lengths widen.)
    const auto tree = readTree(answer.data(), answer.data() + answer.size(), 0);
    const Node* value = tree ? firstValueOfMessage(*tree) : nullptr;
    if (value == nullptr || (value->tag == 0x40 && value->content.size() < 4))
        return 0;
    const auto requestId = SNMPMessage::extractRequestIdFromMessage(&answer);
    for (uint32_t width = 1; width <= 4; ++width) {
        std::vector<uint8_t> wide;
        writeWide((*tree)[0], width, wide);
        const Decoded w = decode(wide, iType, rtnCharFlag);
        if (w.status != d.status || w.type != d.type || w.result.bytes != d.result.bytes)
            __builtin_trap();
        if (SNMPMessage::extractRequestIdFromMessage(&wide) != requestId)
            __builtin_trap();
    }
    return 0;
}
