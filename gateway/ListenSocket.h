// CListenSocket: the gateway's listening socket on PortIn.
//
// Owned by the listener thread (CListenThread::m_pListenSocket) and used only on it. Each
// accept notification counts the connection, accepts it into a new CClientSocket at the head of
// the listener's connections, screens the client's address against the exclusions and the DNSBL
// servers, and either rejects it with the 550 line or joins it to a new channel to the mail
// server; then every monitor gets the status lines and the monitor window is refreshed.
// A failed accept is reported through ReportError and its connection object freed at once.
// When descriptors run out (EMFILE, ENFILE), accepting pauses for kRetryMs and tries again;
// that is reported once per episode and the waiting clients stay in the backlog.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "platform/AsyncSocket.h"
#include "platform/LoopTimer.h"

class CGatewayCore;
class CClientSocket;
class CConnectionList;

class CListenSocket : public CAsyncSocket {
public:
    static constexpr int kRetryMs = 100;
    static constexpr const char* kRejectLine =
        "550 - Tarnwick: Your Server is Blacklisted. Check mail server blacklists for removal "
        "information\n";

    // Made on the listener thread; the retry timer gets its descriptor now, while there are
    // descriptors to be had. Accepted clients go to pConnections (without one they are closed).
    explicit CListenSocket(CGatewayCore* pApp, CConnectionList* pConnections = nullptr);
    ~CListenSocket() override;

    CGatewayCore* m_pApp;

    void OnAccept(int nErrorCode) override;

private:
    bool AcceptFailed(int nCode);
    void Screen(CClientSocket& client);
    void Decide(CClientSocket& client, const std::array<std::uint8_t, 4>& address, int nListings);
    void PauseAccepting();
    void TellMonitors();

    CConnectionList* m_pConnections;
    std::uint64_t m_nAccepted = 0;
    bool m_bOutOfDescriptors = false;
    CLoopTimer m_retryTimer;
};
