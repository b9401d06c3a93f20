#include "tests/support/SilentUdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

CSilentUdpSocket::CSilentUdpSocket() {
    m_fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLength = sizeof address;
    if (m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &nLength) == 0)
        m_nPort = ntohs(address.sin_port);
}

CSilentUdpSocket::~CSilentUdpSocket() {
    if (m_fd >= 0) close(m_fd);
}

std::string CSilentUdpSocket::Nameserver() const { return "127.0.0.1:" + std::to_string(m_nPort); }

bool CSilentUdpSocket::WaitForDatagram(int nTimeoutMs) const {
    pollfd entry{m_fd, POLLIN, 0};
    return poll(&entry, 1, nTimeoutMs) == 1 && (entry.revents & POLLIN) != 0;
}
