#include "tests/support/RawPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>

#include "platform/AsyncSocket.h"

namespace {
// The socket address of a literal IPv4 or IPv6 address and a port.
sockaddr_storage LoopbackAddress(const std::string& strHost, int nPort) {
    sockaddr_storage address{};
    ResolveHost(strHost, address);
    SetPort(address, static_cast<unsigned>(nPort));
    return address;
}

long long RemainingMs(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now())
        .count();
}
}  // namespace

bool SendAllFd(int fd, const char* pBytes, size_t nCount) {
    while (nCount > 0) {
        const ssize_t nSent = send(fd, pBytes, nCount, MSG_NOSIGNAL);
        if (nSent < 0 && errno == EINTR) continue;
        if (nSent <= 0) return false;
        pBytes += nSent;
        nCount -= static_cast<size_t>(nSent);
    }
    return true;
}

bool CRawClient::Connect(int nPort, const std::string& strFrom, int nReceiveBuffer) {
    Close();
    const sockaddr_storage local = LoopbackAddress(strFrom, 0);
    const sockaddr_storage remote =
        LoopbackAddress(local.ss_family == AF_INET6 ? "::1" : "127.0.0.1", nPort);
    m_fd = socket(local.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return false;
    if (nReceiveBuffer > 0)
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof nReceiveBuffer);
    return bind(m_fd, reinterpret_cast<const sockaddr*>(&local), AddressLength(local)) == 0 &&
           connect(m_fd, reinterpret_cast<const sockaddr*>(&remote), AddressLength(remote)) == 0;
}

int CRawClient::LocalPort() const {
    sockaddr_storage local{};
    socklen_t nLength = sizeof local;
    if (getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &nLength) != 0) return 0;
    return ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(local).sin6_port
                                             : reinterpret_cast<sockaddr_in&>(local).sin_port);
}

bool CRawClient::SendAll(const std::string& strBytes) {
    return SendAllFd(m_fd, strBytes.data(), strBytes.size());
}

bool CRawClient::ReadSome(int nMs) {
    if (m_bPeerClosed || m_fd < 0) return false;
    pollfd entry{m_fd, POLLIN, 0};
    if (poll(&entry, 1, nMs) <= 0) return true;
    char buffer[65536];
    const ssize_t nRead = recv(m_fd, buffer, sizeof buffer, 0);
    if (nRead < 0 && errno == EINTR) return true;
    if (nRead <= 0) {
        m_bPeerClosed = true;
        return false;
    }
    m_strReceived.append(buffer, static_cast<size_t>(nRead));
    return true;
}

bool CRawClient::ReadUntil(const std::function<bool(const std::string&)>& bDone, int nTimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!bDone(m_strReceived)) {
        const long long nLeft = RemainingMs(deadline);
        if (nLeft <= 0 || !ReadSome(static_cast<int>(nLeft))) return bDone(m_strReceived);
    }
    return true;
}

bool CRawClient::ReadUntilContains(const std::string& strNeedle, int nTimeoutMs) {
    return ReadUntil(
        [&](const std::string& strSoFar) { return strSoFar.find(strNeedle) != std::string::npos; },
        nTimeoutMs);
}

bool CRawClient::ReadUntilClosed(int nTimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!m_bPeerClosed) {
        const long long nLeft = RemainingMs(deadline);
        if (nLeft <= 0) return false;
        ReadSome(static_cast<int>(nLeft));
    }
    return true;
}

void CRawClient::ReadFor(int nMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    for (long long nLeft = nMs; nLeft > 0; nLeft = RemainingMs(deadline)) {
        if (!ReadSome(static_cast<int>(nLeft))) return;
    }
}

void CRawClient::ShutdownWrite() {
    if (m_fd >= 0) shutdown(m_fd, SHUT_WR);
}

void CRawClient::Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

bool CRawServer::Start(Handler handler, int nPort, int nBacklog, const std::string& strAddress) {
    m_handler = std::move(handler);
    m_fdListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int nOne = 1;
    setsockopt(m_fdListen, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne);
    sockaddr_storage address = LoopbackAddress(strAddress, nPort);
    socklen_t nLength = sizeof address;
    if (bind(m_fdListen, reinterpret_cast<sockaddr*>(&address), AddressLength(address)) != 0 ||
        listen(m_fdListen, nBacklog) != 0 ||
        getsockname(m_fdListen, reinterpret_cast<sockaddr*>(&address), &nLength) != 0) {
        close(m_fdListen);
        m_fdListen = -1;
        return false;
    }
    m_nPort = ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    m_bStopping = false;
    m_acceptThread = std::thread(&CRawServer::AcceptLoop, this);
    return true;
}

void CRawServer::AcceptLoop() {
    while (!m_bStopping) {
        pollfd entry{m_fdListen, POLLIN, 0};
        if (poll(&entry, 1, 20) <= 0) continue;
        const int fd = accept4(m_fdListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> guard(m_lock);
        m_connections.push_back(fd);
        m_handlers.emplace_back([this, fd] { m_handler(fd); });
    }
}

void CRawServer::Stop() {
    m_bStopping = true;
    if (m_acceptThread.joinable()) m_acceptThread.join();
    if (m_fdListen >= 0) close(m_fdListen);
    m_fdListen = -1;
    std::vector<std::thread> handlers;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (int fd : m_connections) shutdown(fd, SHUT_RDWR);
        handlers.swap(m_handlers);
    }
    for (std::thread& handler : handlers) handler.join();
    std::lock_guard<std::mutex> guard(m_lock);
    for (int fd : m_connections) close(fd);
    m_connections.clear();
}

void EchoUntilClosed(int fd) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0 || !SendAllFd(fd, buffer, static_cast<size_t>(n))) break;
    }
    shutdown(fd, SHUT_WR);
}

std::string RandomStream(size_t nSize, unsigned nSeed) {
    std::mt19937 random(nSeed);
    std::string strData(nSize, '\0');
    for (size_t i = 0; i < nSize; ++i) {
        const unsigned nValue = random() % 300;
        strData[i] = nValue < 256 ? static_cast<char>(nValue) : (nValue < 280 ? '\0' : '\n');
        if (strData[i] == '\n' && i > 0) strData[i - 1] = '\r';
    }
    return strData;
}
