// Placeholder until the DNSBL lookup lands: nothing is listed.
#include "gateway/GatewayCore.h"

int CGatewayCore::CheckBlacklists(const std::array<std::uint8_t, 4>&) {
    return 0;
}
void CGatewayCore::WriteDebugDump(const std::string&) {}
