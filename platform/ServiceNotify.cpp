#include "platform/ServiceNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {
// The manager's address from NOTIFY_SOCKET, and its length; 0 when there is none or it does not
// fit. An abstract name ("@name") starts with a zero byte and is not terminated.
socklen_t NotifyAddress(sockaddr_un& address) {
    const char* pName = std::getenv("NOTIFY_SOCKET");
    if (pName == nullptr || (pName[0] != '/' && pName[0] != '@')) return 0;
    const size_t nLength = std::strlen(pName);
    if (nLength < 2 || nLength >= sizeof address.sun_path) return 0;
    address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, pName, nLength);
    if (pName[0] == '@') address.sun_path[0] = '\0';
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + nLength +
                                  (pName[0] == '/' ? 1 : 0));
}
}  // namespace

bool NotifyServiceManager(const std::string& strState) {
    sockaddr_un address{};
    const socklen_t nAddressLength = NotifyAddress(address);
    if (nAddressLength == 0) return false;
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // Never waiting: the listener sends from its own loop, which a manager that does not read
    // must not hold up.
    const ssize_t nSent = sendto(fd, strState.data(), strState.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                                 reinterpret_cast<const sockaddr*>(&address), nAddressLength);
    close(fd);
    return nSent == static_cast<ssize_t>(strState.size());
}

long long ServiceWatchdogUsec() {
    if (std::getenv("NOTIFY_SOCKET") == nullptr) return 0;
    const char* pPid = std::getenv("WATCHDOG_PID");
    if (pPid != nullptr && std::strtoll(pPid, nullptr, 10) != getpid()) return 0;
    const char* pUsec = std::getenv("WATCHDOG_USEC");
    if (pUsec == nullptr) return 0;
    char* pEnd = nullptr;
    const long long nUsec = std::strtoll(pUsec, &pEnd, 10);
    return pEnd != pUsec && *pEnd == '\0' && nUsec > 0 ? nUsec : 0;
}

std::string ReloadingState() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long nUsec = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    return "RELOADING=1\nMONOTONIC_USEC=" + std::to_string(nUsec);
}
