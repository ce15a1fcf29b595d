#include "SendMagicPacket.h"

#include "UniqueFd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

namespace {

constexpr std::size_t kDestinationMax = 254;  // bytes of address text the worker takes
constexpr std::size_t kGroupMax = 9;          // bytes of one MAC group it reads
constexpr std::size_t kPasswordMax = 6;
constexpr uint16_t kWakeOnLanPort = 9;

// One MAC group the way "%x" reads it: the value wraps in 32 bits, as the
// conversion into an int does, and a minus sign negates it.
uint8_t readHexGroup(std::string_view group)
{
    group = group.substr(0, kGroupMax);
    std::size_t i = 0;
    while (i < group.size() && std::isspace(static_cast<unsigned char>(group[i])))
        ++i;
    bool negative = false;
    if (i < group.size() && (group[i] == '+' || group[i] == '-'))
        negative = group[i++] == '-';
    const auto isHex = [&](std::size_t k) { return k < group.size() && std::isxdigit(static_cast<unsigned char>(group[k])); };
    if (i + 1 < group.size() && group[i] == '0' && (group[i + 1] == 'x' || group[i + 1] == 'X') && isHex(i + 2))
        i += 2;
    uint32_t value = 0;
    for (; isHex(i); ++i) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(group[i])));
        value = value * 16 + static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    if (negative)
        value = 0u - value;
    return static_cast<uint8_t>(value & 0xFF);
}

}  // namespace

std::array<uint8_t, 6> parseMacAddress(const std::optional<std::string>& macAddressStr)
{
    std::array<uint8_t, 6> mac{};
    if (!macAddressStr)
        return mac;
    // Six groups are held at most: a seventh ends the parse at once, so a
    // field of millions of colons is refused after its first seven.
    std::array<std::string_view, 6> groups;
    std::size_t count = 0;
    std::string_view rest(*macAddressStr);
    for (;;) {
        if (count == groups.size())
            return mac;
        const std::size_t colon = rest.find(':');
        groups[count++] = rest.substr(0, colon);
        if (colon == std::string_view::npos)
            break;
        rest.remove_prefix(colon + 1);
    }
    if (count != groups.size())
        return mac;
    for (std::size_t i = 0; i < mac.size(); ++i)
        mac[i] = readHexGroup(groups[i]);
    return mac;
}

MagicPacket buildMagicPacket(const std::optional<std::string>& macAddressStr,
                             const std::optional<std::string>& passwordStr)
{
    MagicPacket packet{};
    std::fill_n(packet.begin(), 6, uint8_t{0xFF});
    const std::array<uint8_t, 6> mac = parseMacAddress(macAddressStr);
    for (std::size_t copy = 0; copy < 16; ++copy)
        std::copy(mac.begin(), mac.end(), packet.begin() + 6 + copy * mac.size());
    // Measured in bytes, so a password is taken whole or not at all and never
    // cut inside a character.
    if (passwordStr && !passwordStr->empty() && passwordStr->size() <= kPasswordMax)
        std::copy(passwordStr->begin(), passwordStr->end(), packet.begin() + 102);
    return packet;
}

int32_t SendMagicPacket(const std::optional<std::string>& ipAddressStr,
                        const std::optional<std::string>& macAddressStr,
                        const std::optional<std::string>& passwordStr)
{
    // A text beyond the accepted length converts to nothing; inet_addr then
    // answers INADDR_NONE, the limited broadcast, as for any unreadable text.
    // It is not even copied, so a long field is held only once.
    const bool tooLong = ipAddressStr && ipAddressStr->size() > kDestinationMax;
    const std::string destination = tooLong ? std::string() : ipAddressStr.value_or("255.255.255.255");

    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM, 0));
    if (!fd)
        return -1;

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kWakeOnLanPort);
    address.sin_addr.s_addr = ::inet_addr(destination.c_str());

    const int on = 1;
    const int rc = ::setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (rc != 0)
        return rc;

    const MagicPacket packet = buildMagicPacket(macAddressStr, passwordStr);
    // Nothing is received and no delivery is promised: the send's outcome
    // does not change the answer.
    (void)::sendto(fd.get(), packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                   sizeof address);
    return 0;
}
