#include "gateway/ListenSocket.h"

#include "gateway/ClientIntake.h"
#include "gateway/ClientSocket.h"
#include "gateway/ConnectionList.h"
#include "gateway/GatewayContext.h"

namespace {
bool IsOutOfDescriptors(int nCode) { return nCode == EMFILE || nCode == ENFILE; }
}  // namespace

CListenSocket::CListenSocket(CGatewayContext& context, CClientIntake& intake,
                             CConnectionList* pConnections)
    : m_context(context), m_pConnections(pConnections), m_intake(intake) {
    m_retryTimer.Prepare();
}

CListenSocket::~CListenSocket() = default;

void CListenSocket::OnAccept(int nErrorCode) {
    // A retry after running out of descriptors is for a client that was counted already.
    if (!m_bOutOfDescriptors) m_context.counters.m_nConnections += 1;
    auto pClient = std::make_unique<CClientSocket>(m_context, m_intake.NextSequence());
    // Without its descriptors the client is better off waiting in the backlog. Each connection
    // holds two (client and channel), the new one included.
    const size_t nHeld = 2 * ((m_pConnections ? m_pConnections->LiveCount() : 0) + 1);
    const bool bSpare = !m_budget.IsFarFromLimit(nHeld);
    if (!pClient->m_reserve.Make(pClient->m_pConfig->settings.PortOut != 0, bSpare)) {
        if (AcceptFailed(errno, true)) m_intake.TellMonitors();
        return;
    }
    socklen_t nLength = sizeof pClient->m_addrPeer;
    const BOOL bAccepted =
        Accept(*pClient, reinterpret_cast<sockaddr*>(&pClient->m_addrPeer), &nLength);
    pClient->m_reserve.ReleaseSpare();
    pClient->m_nAddrLen = static_cast<std::int32_t>(nLength);
    if (!bAccepted) {
        const int nCode = WSAGetLastError();
        if (AcceptFailed(nCode, IsOutOfDescriptors(nCode))) m_intake.TellMonitors();
        return;
    }
    m_bOutOfDescriptors = false;
    pClient->TakePeerAddress();
    if (m_pConnections == nullptr) return;  // nobody to own it: the client is closed
    m_intake.Take(m_pConnections->Add(std::move(pClient)));
    CAsyncSocket::OnAccept(nErrorCode);
    UpdateAccepting();
}

// False when nothing new is to be told: a retry that ran out of descriptors again.
bool CListenSocket::AcceptFailed(int nCode, bool bOutOfDescriptors) {
    if (!bOutOfDescriptors) {
        // This failure ends the client an episode counted, if any: the next one is new.
        m_bOutOfDescriptors = false;
        m_context.log.ReportError(nCode, "Error Accepting Socket");
        return true;
    }
    // The socket stays readable while clients wait, so accepting must pause, not spin.
    PauseAccepting();
    if (m_bOutOfDescriptors) return false;
    m_bOutOfDescriptors = true;
    m_context.log.ReportError(nCode, "Error Accepting Socket");
    return true;
}

void CListenSocket::PauseAccepting() {
    m_bRetryWaiting = true;
    UpdateAccepting();
    // Without a timer there is no way back but trying again at once.
    if (!m_retryTimer.Start(kRetryMs, [this] {
            m_bRetryWaiting = false;
            UpdateAccepting();
        })) {
        m_bRetryWaiting = false;
        UpdateAccepting();
    }
}

void CListenSocket::UpdateAccepting() {
    if (m_hSocket == INVALID_SOCKET) return;
    const bool bAccept = !m_bRetryWaiting && m_intake.Undecided() < kMaxUndecided;
    const long lEvent = bAccept ? long{FD_ACCEPT} : 0L;
    if (EventMask() != lEvent) AsyncSelect(lEvent);
}
