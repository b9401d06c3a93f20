// CAsyncSocket: a non-blocking TCP socket whose readiness arrives as notifications (OnReceive,
// OnSend, OnAccept, OnConnect, OnClose) on the event loop of the thread that created it.
//
// The object is owned by whoever made it; every operation and notification runs on the thread
// whose CEventLoop was current when the socket got its descriptor (Create or Accept). The mask
// given to Create or AsyncSelect decides which notifications arrive (FD_READ, FD_WRITE,
// FD_ACCEPT, FD_CONNECT, FD_CLOSE; FD_OOB is accepted and never delivered).
//
// Readiness is watched level-triggered, and each kind of notification is re-armed by the call
// that consumes it, as on the platform the gateway was designed for: a receive notification
// comes again only after Receive (or AsyncSelect), an accept notification after Accept, a write
// notification after AsyncSelect with FD_WRITE or a Send that would block. So a handler that
// leaves its data unread is not called again and again, and the loop can go idle. A mask
// without FD_WRITE stops write notifications; FD_WRITE in the mask brings one as soon as the
// socket can take data.
//
// A connect's outcome arrives once as OnConnect(code), also when the connect fails at once
// (a name that does not resolve gives EHOSTUNREACH); the peer's orderly close or reset arrives once
// as OnClose(code), only after the data that came before it has been received. While FD_READ is
// left out of a mask that keeps FD_CLOSE (reading paused), the peer's close or reset is still
// watched: it arrives once as OnHangUp(code), and the data before it stays to be received.
//
// Readable data is announced without looking at it first; only when the peer's close may be
// pending (EPOLLRDHUP, a hang-up or an error) does the socket peek to tell data from the close.
// A socket whose receive handler takes a zero-byte receive for the close (TakeCloseByReceive)
// is spared that peek: it gets OnReceive then too, and a Receive that finds the close, or the
// reset the hang-up announced, returns 0 once instead of OnClose.
// A socket is never destroyed inside one of its own notification handlers (it may close itself).
//
// Failures return FALSE or SOCKET_ERROR; the code is then read with WSAGetLastError() (errno
// values: EWOULDBLOCK, ECONNRESET, ECONNABORTED, ...). Nothing throws.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "platform/EventLoop.h"

using BOOL = int;
using LONG = long;
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

enum : long {
    FD_READ = 0x01,
    FD_WRITE = 0x02,
    FD_OOB = 0x04,
    FD_ACCEPT = 0x08,
    FD_CONNECT = 0x10,
    FD_CLOSE = 0x20,
    FD_ALL_EVENTS = 0x3F
};

constexpr int INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// The code of the calling thread's last failed socket operation.
int WSAGetLastError();
void WSASetLastError(int nCode);

class CAsyncSocket {
public:
    CAsyncSocket();
    virtual ~CAsyncSocket();
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    int m_hSocket = INVALID_SOCKET;

    // A socket of nType bound to nPort (0 = any) on pszAddress (null = every local IPv4
    // address), watched for the notifications in lEvent. An IPv6 pszAddress ("::" for every
    // local one) makes an IPv6 socket that serves IPv6 alone.
    BOOL Create(unsigned nPort = 0, int nType = SOCK_STREAM, long lEvent = FD_ALL_EVENTS,
                const char* pszAddress = nullptr);
    // Takes fd, an unbound non-blocking stream socket made in advance (CDescriptorReserve), as
    // Create(0, SOCK_STREAM, lEvent) would have made it; FALSE (nothing to take) for -1.
    BOOL Adopt(int fd, long lEvent);
    // Starts connecting to a dotted IPv4 address, an IPv6 address or a host name (resolved here
    // to its IPv4 address, blocking). Like any non-blocking connect it returns FALSE: with
    // EWOULDBLOCK while under way, with another code when it failed at once. Either way the
    // outcome arrives as OnConnect. A socket made for the other family than the address's is
    // made again for the address's (same mask); should that fail, the socket is closed, the
    // code is the failure's, and no OnConnect follows.
    BOOL Connect(const std::string& strHost, unsigned nPort);
    // The same for an address resolved before (its port is set to nPort); null stands for a
    // name that did not resolve.
    BOOL ConnectTo(const sockaddr_storage* pAddress, unsigned nPort);
    BOOL Listen(int nBacklog = SOMAXCONN);
    // Takes one pending connection into rConnected (which must have no descriptor), filling
    // the peer's address; the new socket inherits this socket's mask.
    virtual BOOL Accept(CAsyncSocket& rConnected, sockaddr* pAddress = nullptr,
                        socklen_t* pLength = nullptr);
    virtual int Send(const void* pBuffer, int nLength, int nFlags = 0);
    virtual int Receive(void* pBuffer, int nLength, int nFlags = 0);
    BOOL AsyncSelect(long lEvent = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE);
    virtual void Close();
    // shutdown(2) on the descriptor: SHUT_WR sends the peer an orderly end after the data.
    BOOL ShutDown(int nHow);
    // The socket's own address and port (for an accepted socket: where the peer connected to).
    BOOL GetSockName(sockaddr_storage& address);

    long EventMask() const { return m_lEvent; }

    virtual void OnReceive(int nErrorCode);
    virtual void OnSend(int nErrorCode);
    virtual void OnOutOfBandData(int nErrorCode);
    virtual void OnAccept(int nErrorCode);
    virtual void OnConnect(int nErrorCode);
    virtual void OnClose(int nErrorCode);
    virtual void OnHangUp(int nErrorCode);

protected:
    // For a derived socket whose receive handler ends the connection on a zero-byte receive.
    void TakeCloseByReceive() { m_bCloseByReceive = true; }

private:
    void AssertLoopThread(const char* pWhat) const;
    bool Attach(int fd, int nFamily, long lEvent, bool bWatchNow = true);
    bool TakeFamily(int nFamily);
    void UpdateWatch();
    std::uint32_t WantedEvents() const;
    bool WantsReadSide() const;
    bool WatchesHangUp() const;
    void HandleEvents(std::uint32_t nEvents);
    void FinishConnect(std::uint32_t nEvents);
    void DeliverReadSide(std::uint32_t nEvents);
    void DeliverHangUp(std::uint32_t nEvents);
    void ResetState();
    int PendingError();

    CEventLoop* m_pLoop = nullptr;
    CEventLoop::WatchId m_nWatch = 0;
    std::uint32_t m_nWatched = 0;  // the events the watch has now
    long m_lEvent = 0;
    int m_nFamily = AF_INET;  // of the descriptor
    bool m_bListening = false;
    bool m_bConnecting = false;
    int m_nConnectError = 0;
    bool m_bReadArmed = true;
    bool m_bWriteArmed = false;
    bool m_bAcceptArmed = true;
    bool m_bCloseDelivered = false;
    bool m_bHangUpDelivered = false;
    bool m_bCloseByReceive = false;
    bool m_bHangUpSeen = false;  // while OnReceive runs for a dispatch that saw a hang-up
};

// Resolves an IPv6 or dotted IPv4 address as it is, or else a host name to its first IPv4
// address (blocking), into a socket address of its family (port 0); false when it gives none.
bool ResolveHost(const std::string& strHost, sockaddr_storage& address);
// The port of a socket address of either family; the length connect and bind take for it.
void SetPort(sockaddr_storage& address, unsigned nPort);
socklen_t AddressLength(const sockaddr_storage& address);
