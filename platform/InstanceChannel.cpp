#include "platform/InstanceChannel.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {
// Lines longer than this are not nudges; the peer is dropped.
constexpr size_t kMaxLine = 256;

std::string ScopeHash(const std::string& strScope) {
    std::uint64_t nHash = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : strScope) nHash = (nHash ^ c) * 1099511628211ull;
    char buffer[17];
    std::snprintf(buffer, sizeof buffer, "%016llx", static_cast<unsigned long long>(nHash));
    return buffer;
}

socklen_t AbstractAddress(const std::string& strName, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    const size_t nLength = std::min(strName.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, strName.data(), nLength);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + nLength);
}
}  // namespace

CInstanceChannel::CInstanceChannel(const std::string& strTitle, const std::string& strScope)
    : m_strName(strTitle + "/uid=" + std::to_string(geteuid()) + "/" + ScopeHash(strScope)) {}

CInstanceChannel::~CInstanceChannel() { Close(); }

void CInstanceChannel::Close() {
    for (auto& [fd, peer] : m_peers) {
        if (m_pLoop) m_pLoop->Unwatch(peer.nWatch);
        close(fd);
    }
    m_peers.clear();
    if (m_pLoop && m_nWatch) m_pLoop->Unwatch(m_nWatch);
    m_nWatch = 0;
    m_pLoop = nullptr;
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

bool CInstanceChannel::Listen(CEventLoop& loop, MessageHandler onMessage) {
    Close();
    m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return false;
    sockaddr_un address;
    const socklen_t nLength = AbstractAddress(m_strName, address);
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), nLength) != 0 || listen(m_fd, 8) != 0) {
        Close();
        return false;
    }
    m_pLoop = &loop;
    m_onMessage = std::move(onMessage);
    m_nWatch = loop.Watch(m_fd, EPOLLIN, [this](std::uint32_t) { OnAccept(); });
    if (m_nWatch == 0) Close();
    return m_nWatch != 0;
}

void CInstanceChannel::OnAccept() {
    const int fd = accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    const CEventLoop::WatchId nWatch =
        m_pLoop->Watch(fd, EPOLLIN | EPOLLRDHUP, [this, fd](std::uint32_t) { OnPeerReadable(fd); });
    if (nWatch == 0) {
        close(fd);
        return;
    }
    m_peers[fd] = CPeer{nWatch, {}};
}

void CInstanceChannel::OnPeerReadable(int fd) {
    char buffer[512];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        DropPeer(fd);
        return;
    }
    std::string& strPending = m_peers[fd].strPending;
    strPending.append(buffer, static_cast<size_t>(n));
    size_t nFeed;
    while ((nFeed = strPending.find('\n')) != std::string::npos) {
        const std::string strLine = strPending.substr(0, nFeed);
        strPending.erase(0, nFeed + 1);
        m_onMessage(strLine);
        if (m_peers.find(fd) == m_peers.end()) return;  // the handler closed the channel
    }
    if (strPending.size() > kMaxLine) DropPeer(fd);
}

void CInstanceChannel::DropPeer(int fd) {
    auto it = m_peers.find(fd);
    if (it == m_peers.end()) return;
    m_pLoop->Unwatch(it->second.nWatch);
    m_peers.erase(it);
    close(fd);
}

bool CInstanceChannel::Find() {
    Close();
    m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return false;
    sockaddr_un address;
    const socklen_t nLength = AbstractAddress(m_strName, address);
    if (connect(m_fd, reinterpret_cast<sockaddr*>(&address), nLength) != 0) {
        Close();
        return false;
    }
    return true;
}

bool CInstanceChannel::Send(const std::string& strLine) {
    if (m_fd < 0 || m_pLoop != nullptr) return false;
    const std::string strData = strLine + "\n";
    return send(m_fd, strData.data(), strData.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(strData.size());
}
