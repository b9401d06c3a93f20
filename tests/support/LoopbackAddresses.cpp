#include "tests/support/LoopbackAddresses.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tests/support/Wait.h"

namespace {
// The kernel's request for an IPv6 interface address (linux/ipv6.h's in6_ifreq).
struct CIPv6InterfaceRequest {
    in6_addr address;
    std::uint32_t nPrefixLength;
    int nInterface;
};

// 0, or the errno of the SIOCSIFADDR (bAdd) or SIOCDIFADDR request for strAddress on lo.
int ChangeAddress(const std::string& strAddress, bool bAdd) {
    CIPv6InterfaceRequest request{};
    if (inet_pton(AF_INET6, strAddress.c_str(), &request.address) != 1) return EINVAL;
    request.nPrefixLength = 128;
    request.nInterface = static_cast<int>(if_nametoindex("lo"));
    if (request.nInterface == 0) return errno;
    const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    const int nResult = ioctl(fd, bAdd ? SIOCSIFADDR : SIOCDIFADDR, &request);
    const int nCode = nResult == 0 ? 0 : errno;
    close(fd);
    return nCode;
}
// An address just added may still be tentative for a moment, and cannot be bound until then.
bool CanBind(const std::string& strAddress) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    inet_pton(AF_INET6, strAddress.c_str(), &address.sin6_addr);
    const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool bBound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bBound;
}
}  // namespace

CLoopbackAddresses::~CLoopbackAddresses() {
    for (const std::string& strAddress : m_added) ChangeAddress(strAddress, false);
}

std::string CLoopbackAddresses::Add(const std::vector<std::string>& addresses) {
    for (const std::string& strAddress : addresses) {
        const int nCode = ChangeAddress(strAddress, true);
        if (nCode == 0)
            m_added.push_back(strAddress);
        else if (nCode != EEXIST)
            return "the IPv6 test address " + strAddress + " cannot be put on lo (" +
                   std::strerror(nCode) + "; it takes root or CAP_NET_ADMIN)";
    }
    for (const std::string& strAddress : addresses)
        if (!WaitUntil([&] { return CanBind(strAddress); }))
            return "the IPv6 test address " + strAddress + " is on lo but cannot be used";
    return "";
}
