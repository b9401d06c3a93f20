// A DNS server that has gone silent, for tests: a UDP socket bound on a free port of 127.0.0.1
// that receives queries and never answers. Closed when the object goes. Test thread only.
#pragma once

#include <string>

class CSilentUdpSocket {
public:
    CSilentUdpSocket();
    ~CSilentUdpSocket();
    CSilentUdpSocket(const CSilentUdpSocket&) = delete;
    CSilentUdpSocket& operator=(const CSilentUdpSocket&) = delete;

    int Port() const { return m_nPort; }
    std::string Nameserver() const;
    // Waits up to nTimeoutMs for a datagram to arrive (it stays unread); true when one has.
    bool WaitForDatagram(int nTimeoutMs) const;

private:
    int m_fd = -1;
    int m_nPort = 0;
};
