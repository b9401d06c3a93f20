#include "platform/AsyncSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
thread_local int t_nLastError = 0;

bool IsWouldBlock(int nCode) { return nCode == EAGAIN || nCode == EWOULDBLOCK; }

// Fails with this code when a host name does not resolve to an IPv4 address.
constexpr int kHostNotFound = EHOSTUNREACH;

// Readiness that may carry the peer's close: only then is a peek needed to tell it from data.
constexpr std::uint32_t kMaybeClosed = EPOLLRDHUP | EPOLLHUP | EPOLLERR;

// An IPv6 or IPv4 address written out, as a socket address of its family (port 0); false for
// any other text.
bool NumericAddress(const char* pszText, sockaddr_storage& address) {
    address = sockaddr_storage{};
    auto& ipv6 = reinterpret_cast<sockaddr_in6&>(address);
    if (inet_pton(AF_INET6, pszText, &ipv6.sin6_addr) == 1) {
        ipv6.sin6_family = AF_INET6;
        return true;
    }
    address = sockaddr_storage{};
    auto& ipv4 = reinterpret_cast<sockaddr_in&>(address);
    ipv4.sin_family = AF_INET;
    return inet_pton(AF_INET, pszText, &ipv4.sin_addr) == 1;
}

// The first IPv4 address of a host name (blocking).
bool LookUpIPv4(const std::string& strHost, in_addr& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pResult = nullptr;
    if (strHost.empty() || getaddrinfo(strHost.c_str(), nullptr, &hints, &pResult) != 0)
        return false;
    address = reinterpret_cast<sockaddr_in*>(pResult->ai_addr)->sin_addr;
    freeaddrinfo(pResult);
    return true;
}

// The address to bind: pszAddress (an IPv4 or IPv6 address; null for every IPv4 address) and
// nPort; false when pszAddress is no address.
bool LocalAddress(const char* pszAddress, unsigned nPort, sockaddr_storage& address) {
    if (pszAddress == nullptr) {
        address = sockaddr_storage{};
        auto& ipv4 = reinterpret_cast<sockaddr_in&>(address);
        ipv4.sin_family = AF_INET;
        ipv4.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (!NumericAddress(pszAddress, address)) {
        return false;
    }
    SetPort(address, nPort);
    return true;
}

bool IsAnyAddress(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr == htonl(INADDR_ANY);
    return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr);
}

BOOL Fail(int nCode) {
    t_nLastError = nCode;
    return FALSE;
}

int FailTransfer(int nCode) {
    t_nLastError = nCode;
    return SOCKET_ERROR;
}
}  // namespace

bool ResolveHost(const std::string& strHost, sockaddr_storage& address) {
    if (NumericAddress(strHost.c_str(), address)) return true;
    address = sockaddr_storage{};
    auto& ipv4 = reinterpret_cast<sockaddr_in&>(address);
    ipv4.sin_family = AF_INET;
    return LookUpIPv4(strHost, ipv4.sin_addr);
}

void SetPort(sockaddr_storage& address, unsigned nPort) {
    const std::uint16_t nNetworkPort = htons(static_cast<std::uint16_t>(nPort));
    if (address.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6&>(address).sin6_port = nNetworkPort;
    else
        reinterpret_cast<sockaddr_in&>(address).sin_port = nNetworkPort;
}

socklen_t AddressLength(const sockaddr_storage& address) {
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

int WSAGetLastError() { return t_nLastError; }
void WSASetLastError(int nCode) { t_nLastError = nCode; }

CAsyncSocket::CAsyncSocket() = default;

CAsyncSocket::~CAsyncSocket() { CAsyncSocket::Close(); }

// A socket belongs to the loop it was made on; only that loop's thread may use it.
void CAsyncSocket::AssertLoopThread(const char* pWhat) const {
    if (m_pLoop != nullptr) m_pLoop->AssertOwner(pWhat);
}

// An IPv6 socket serves IPv6 alone (IPV6_V6ONLY), so that an IPv4 socket on the same port stays
// the one IPv4 clients reach, and its clients' addresses are never IPv4 ones in mapped form.
BOOL CAsyncSocket::Create(unsigned nPort, int nType, long lEvent, const char* pszAddress) {
    if (m_hSocket != INVALID_SOCKET) return Fail(EISCONN);
    sockaddr_storage address{};
    if (!LocalAddress(pszAddress, nPort, address)) return Fail(EINVAL);
    const int nFamily = address.ss_family;
    const int fd = socket(nFamily, nType | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail(errno);
    const int nOne = 1;
    if (nFamily == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &nOne, sizeof nOne);
    // A restarted gateway may take its port again while old connections linger in TIME_WAIT.
    if (nPort != 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne);
    // Any port on any address is what a connect picks by itself: no bind needed for that.
    const bool bAnywhere = nPort == 0 && (pszAddress == nullptr || IsAnyAddress(address));
    if (!bAnywhere &&
        bind(fd, reinterpret_cast<sockaddr*>(&address), AddressLength(address)) != 0) {
        const int nCode = errno;
        close(fd);
        return Fail(nCode);
    }
    // Nothing is watched before Connect or Listen: an unconnected socket only reports hang-ups.
    return Attach(fd, nFamily, lEvent, false) ? TRUE : FALSE;
}

BOOL CAsyncSocket::Adopt(int fd, long lEvent) {
    if (m_hSocket != INVALID_SOCKET) return Fail(EISCONN);
    if (fd < 0) return Fail(ENOTSOCK);
    return Attach(fd, AF_INET, lEvent, false) ? TRUE : FALSE;
}

bool CAsyncSocket::Attach(int fd, int nFamily, long lEvent, bool bWatchNow) {
    m_pLoop = CEventLoop::ForThisThread();
    if (m_pLoop == nullptr) {
        close(fd);
        return Fail(EINVAL);
    }
    ResetState();
    m_hSocket = fd;
    m_nFamily = nFamily;
    m_lEvent = lEvent;
    m_bWriteArmed = (lEvent & FD_WRITE) != 0;
    if (bWatchNow) UpdateWatch();
    return true;
}

void CAsyncSocket::ResetState() {
    m_bListening = false;
    m_bConnecting = false;
    m_nConnectError = 0;
    m_bReadArmed = true;
    m_bWriteArmed = false;
    m_bAcceptArmed = true;
    m_bCloseDelivered = false;
    m_bHangUpDelivered = false;
}

BOOL CAsyncSocket::Connect(const std::string& strHost, unsigned nPort) {
    if (m_hSocket == INVALID_SOCKET) return Fail(ENOTSOCK);
    sockaddr_storage resolved{};
    return ConnectTo(ResolveHost(strHost, resolved) ? &resolved : nullptr, nPort);
}

BOOL CAsyncSocket::ConnectTo(const sockaddr_storage* pAddress, unsigned nPort) {
    AssertLoopThread("CAsyncSocket::Connect");
    if (m_hSocket == INVALID_SOCKET) return Fail(ENOTSOCK);
    int nCode = 0;
    if (pAddress == nullptr) {
        nCode = kHostNotFound;
    } else {
        sockaddr_storage address = *pAddress;
        SetPort(address, nPort);
        if (address.ss_family != m_nFamily && !TakeFamily(address.ss_family)) return FALSE;
        const auto* pTarget = reinterpret_cast<const sockaddr*>(&address);
        if (connect(m_hSocket, pTarget, AddressLength(address)) != 0 && errno != EINPROGRESS)
            nCode = errno;
    }
    // An unconnected socket reports itself ready at once, so a failure found here still
    // arrives through the loop as OnConnect, like any other outcome.
    m_bConnecting = true;
    m_nConnectError = nCode;
    UpdateWatch();
    if (nCode != 0) return Fail(nCode);
    t_nLastError = EWOULDBLOCK;
    return FALSE;
}

BOOL CAsyncSocket::Listen(int nBacklog) {
    if (m_hSocket == INVALID_SOCKET) return Fail(ENOTSOCK);
    if (listen(m_hSocket, nBacklog) != 0) return Fail(errno);
    m_bListening = true;
    m_bAcceptArmed = true;
    UpdateWatch();
    return TRUE;
}

BOOL CAsyncSocket::Accept(CAsyncSocket& rConnected, sockaddr* pAddress, socklen_t* pLength) {
    AssertLoopThread("CAsyncSocket::Accept");
    m_bAcceptArmed = true;
    UpdateWatch();
    if (m_hSocket == INVALID_SOCKET) return Fail(ENOTSOCK);
    if (rConnected.m_hSocket != INVALID_SOCKET) return Fail(EISCONN);
    const int fd = accept4(m_hSocket, pAddress, pLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return Fail(errno);
    return rConnected.Attach(fd, m_nFamily, m_lEvent) ? TRUE : FALSE;
}

// The descriptor goes first, so that its place (one set aside for it, say) serves the new one.
bool CAsyncSocket::TakeFamily(int nFamily) {
    const long lEvent = m_lEvent;
    CAsyncSocket::Close();
    const int fd = socket(nFamily, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail(errno);
    return Attach(fd, nFamily, lEvent, false);
}

int CAsyncSocket::Send(const void* pBuffer, int nLength, int nFlags) {
    AssertLoopThread("CAsyncSocket::Send");
    if (m_hSocket == INVALID_SOCKET) return FailTransfer(ENOTSOCK);
    const ssize_t nSent = send(m_hSocket, pBuffer, nLength, nFlags | MSG_NOSIGNAL);
    if (nSent >= 0) return static_cast<int>(nSent);
    const int nCode = errno;
    // The socket tells again when it can take data, as after a send that would block.
    if (IsWouldBlock(nCode)) {
        m_bWriteArmed = true;
        UpdateWatch();
    }
    return FailTransfer(nCode);
}

int CAsyncSocket::Receive(void* pBuffer, int nLength, int nFlags) {
    AssertLoopThread("CAsyncSocket::Receive");
    if (m_hSocket == INVALID_SOCKET) return FailTransfer(ENOTSOCK);
    m_bReadArmed = true;
    UpdateWatch();
    const ssize_t nReceived = recv(m_hSocket, pBuffer, nLength, nFlags);
    if (nReceived > 0) return static_cast<int>(nReceived);
    const int nCode = nReceived == 0 ? 0 : errno;
    // The peer's close found by the receive itself: told once, as the zero-byte receive.
    if (m_bCloseByReceive &&
        (nReceived == 0 || (m_bHangUpSeen && !IsWouldBlock(nCode) && nCode != EINTR))) {
        m_bCloseDelivered = true;
        return 0;
    }
    if (nReceived == 0) return 0;
    return FailTransfer(nCode);
}

BOOL CAsyncSocket::AsyncSelect(long lEvent) {
    AssertLoopThread("CAsyncSocket::AsyncSelect");
    if (m_hSocket == INVALID_SOCKET) return Fail(ENOTSOCK);
    m_lEvent = lEvent;
    m_bReadArmed = true;
    m_bAcceptArmed = true;
    m_bWriteArmed = (lEvent & FD_WRITE) != 0;
    // Reading again will see the close itself, after the data.
    if (lEvent & FD_READ) m_bHangUpDelivered = false;
    UpdateWatch();
    return TRUE;
}

BOOL CAsyncSocket::ShutDown(int nHow) {
    if (m_hSocket == INVALID_SOCKET) return Fail(ENOTSOCK);
    return shutdown(m_hSocket, nHow) == 0 ? TRUE : Fail(errno);
}

BOOL CAsyncSocket::GetSockName(sockaddr_storage& address) {
    if (m_hSocket == INVALID_SOCKET) return Fail(ENOTSOCK);
    socklen_t nLength = sizeof address;
    return getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&address), &nLength) == 0
               ? TRUE
               : Fail(errno);
}

void CAsyncSocket::Close() {
    AssertLoopThread("CAsyncSocket::Close");
    if (m_hSocket == INVALID_SOCKET) return;
    if (m_nWatch != 0 && m_pLoop != nullptr) m_pLoop->Unwatch(m_nWatch, true);
    m_nWatch = 0;
    m_nWatched = 0;
    close(m_hSocket);
    m_hSocket = INVALID_SOCKET;
    ResetState();
}

void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
void CAsyncSocket::OnOutOfBandData(int) {}
void CAsyncSocket::OnAccept(int) {}
void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnClose(int) {}
void CAsyncSocket::OnHangUp(int) {}

bool CAsyncSocket::WantsReadSide() const {
    return !m_bCloseDelivered && m_bReadArmed && (m_lEvent & FD_READ) != 0;
}

// The peer's close is watched on its own while the read side is not.
bool CAsyncSocket::WatchesHangUp() const {
    return !m_bCloseDelivered && !m_bHangUpDelivered && (m_lEvent & FD_CLOSE) != 0 &&
           !WantsReadSide();
}

std::uint32_t CAsyncSocket::WantedEvents() const {
    if (m_bConnecting) return EPOLLOUT;
    if (m_bListening)
        return (m_bAcceptArmed && (m_lEvent & FD_ACCEPT)) ? std::uint32_t{EPOLLIN} : 0u;
    std::uint32_t nEvents = 0;
    if (WantsReadSide()) nEvents |= EPOLLIN | EPOLLRDHUP;
    if (WatchesHangUp()) nEvents |= EPOLLRDHUP;
    if (m_bWriteArmed && (m_lEvent & FD_WRITE)) nEvents |= EPOLLOUT;
    return nEvents;
}

// The watch follows the armed notifications. A dispatch disarms what it delivers and updates
// the watch only after the handler, which usually re-arms at once (Receive, Send, AsyncSelect),
// so the common case costs no epoll change at all, nor even a look at the loop's table. Nothing
// wanted parks the watch, so that errors and hang-ups nobody asked for are not dispatched.
void CAsyncSocket::UpdateWatch() {
    if (m_hSocket == INVALID_SOCKET || m_pLoop == nullptr) return;
    const std::uint32_t nEvents = WantedEvents();
    if (m_nWatch != 0) {
        if (nEvents == m_nWatched) return;
        if (m_pLoop->Rewatch(m_nWatch, nEvents)) m_nWatched = nEvents;  // 0 parks the watch
    } else if (nEvents != 0) {
        m_nWatch = m_pLoop->Watch(m_hSocket, nEvents, [this](std::uint32_t n) { HandleEvents(n); });
        if (m_nWatch != 0) m_nWatched = nEvents;
    }
}

void CAsyncSocket::HandleEvents(std::uint32_t nEvents) {
    if (m_bConnecting) return FinishConnect(nEvents);
    auto isGone = [&] { return m_hSocket == INVALID_SOCKET; };
    if (m_bListening) {
        m_bAcceptArmed = false;
        if (m_lEvent & FD_ACCEPT) OnAccept(0);
        if (!isGone()) UpdateWatch();
        return;
    }
    if ((nEvents & (EPOLLIN | kMaybeClosed)) && WantsReadSide()) {
        DeliverReadSide(nEvents);
        if (isGone()) return;
    } else if ((nEvents & kMaybeClosed) && WatchesHangUp()) {
        DeliverHangUp(nEvents);
        if (isGone()) return;
    }
    if ((nEvents & (EPOLLOUT | EPOLLERR | EPOLLHUP)) && m_bWriteArmed && (m_lEvent & FD_WRITE)) {
        m_bWriteArmed = false;
        OnSend(0);
        if (isGone()) return;
    }
    UpdateWatch();
}

// Writable without an error is a connect that succeeded; only a failure needs its code read.
void CAsyncSocket::FinishConnect(std::uint32_t nEvents) {
    int nCode = m_nConnectError;
    if (nCode == 0 && (nEvents & (EPOLLERR | EPOLLHUP))) {
        nCode = PendingError();
        if (nCode == 0) nCode = ECONNRESET;
    }
    m_bConnecting = false;
    m_nConnectError = 0;
    if (nCode == 0) {
        m_bReadArmed = true;
        m_bWriteArmed = (m_lEvent & FD_WRITE) != 0;
    } else {
        m_bCloseDelivered = true;  // a failed connect is final: nothing more is watched
        m_bWriteArmed = false;
    }
    // The handler sets the mask the connection goes on with: one watch change, after it.
    if (m_lEvent & FD_CONNECT) OnConnect(nCode);
    UpdateWatch();
}

// Readable means data, or the peer's close when nothing is left to read. Without a sign of the
// close, it is data: no peek.
void CAsyncSocket::DeliverReadSide(std::uint32_t nEvents) {
    if ((nEvents & kMaybeClosed) == 0 || m_bCloseByReceive) {
        m_bReadArmed = false;
        m_bHangUpSeen = (nEvents & kMaybeClosed) != 0;
        OnReceive(0);
        m_bHangUpSeen = false;
        return;
    }
    char cByte = 0;
    const ssize_t nPeek = recv(m_hSocket, &cByte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (nPeek > 0) {
        m_bReadArmed = false;
        if (m_lEvent & FD_READ) OnReceive(0);
        return;
    }
    if (nPeek < 0 && (IsWouldBlock(errno) || errno == EINTR)) return;
    const int nCode = nPeek == 0 ? 0 : errno;
    // The watch is parked after the handler, which usually closes the socket anyway.
    m_bCloseDelivered = true;
    if (m_lEvent & FD_CLOSE) OnClose(nCode);
}

int CAsyncSocket::PendingError() {
    int nCode = 0;
    socklen_t nLength = sizeof nCode;
    if (getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &nCode, &nLength) != 0) nCode = errno;
    return nCode;
}

void CAsyncSocket::DeliverHangUp(std::uint32_t nEvents) {
    m_bHangUpDelivered = true;
    const int nCode = (nEvents & EPOLLERR) ? PendingError() : 0;
    UpdateWatch();
    OnHangUp(nCode);
}
