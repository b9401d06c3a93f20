// CListenSocket: one of the gateway's listening sockets on PortIn (IPv4, and with ListenV6 IPv6).
//
// Owned by the listener thread (CListenThread) and used only on it. Each
// accept notification counts the connection, sets aside what the client will need (the socket
// of its channel, and, unless the descriptors are far from their limit, a spare descriptor
// while the accept runs: CDescriptorReserve, CDescriptorBudget), accepts it into a new
// CClientSocket at the head of the listener's connections, and hands it to the listener's
// CClientIntake, which takes it to its verdict and tells the monitors. The intake is not this
// socket's: clients still on their way to a verdict outlive a move to another port.
// A failed accept is reported through ReportError and its connection object freed at once.
// When descriptors run out (EMFILE, ENFILE, or the reserve cannot be had), accepting pauses for
// kRetryMs and tries again; that is reported once per episode and the waiting clients stay in
// the backlog. Accepting also pauses while kMaxUndecided clients await their verdict (a
// concurrent screening, a PROXY header) and goes on when one is decided.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/AsyncSocket.h"
#include "platform/DescriptorReserve.h"
#include "platform/LoopTimer.h"

struct CGatewayContext;
class CClientIntake;
class CConnectionList;

class CListenSocket : public CAsyncSocket {
public:
    static constexpr int kRetryMs = 100;
    static constexpr size_t kMaxUndecided = 1000;
    static constexpr const char* kRejectLine =
        "550 - Tarnwick: Your Server is Blacklisted. Check mail server blacklists for removal "
        "information\n";

    // Made on the listener thread; the retry timer gets its descriptor now, while there are
    // descriptors to be had. Accepted clients go to pConnections (without one they are closed)
    // and then to intake, which must outlive the socket.
    CListenSocket(CGatewayContext& context, CClientIntake& intake,
                  CConnectionList* pConnections = nullptr);
    ~CListenSocket() override;

    void OnAccept(int nErrorCode) override;
    // Accepting goes on unless a retry is waiting or too many clients await their verdict; the
    // intake's owner calls this whenever a client is decided.
    void UpdateAccepting();

private:
    bool AcceptFailed(int nCode, bool bOutOfDescriptors);
    void PauseAccepting();

    CGatewayContext& m_context;
    CConnectionList* m_pConnections;
    CClientIntake& m_intake;
    bool m_bOutOfDescriptors = false;
    bool m_bRetryWaiting = false;
    CLoopTimer m_retryTimer;
    CDescriptorBudget m_budget;
};
