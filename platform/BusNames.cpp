#include "BusNames.h"

#include <cctype>

std::string uuidIdentifier(const std::string& protocolUuid)
{
    std::string id;
    id.reserve(protocolUuid.size());
    for (char c : protocolUuid)
        id += c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return id;
}

std::string protocolInterfaceName(const std::string& serviceName, const std::string& protocolUuid)
{
    return serviceName + ".XPC_Protocol" + uuidIdentifier(protocolUuid);
}
