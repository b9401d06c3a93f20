#include "gateway/ListenSocket.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "gateway/ClientSocket.h"
#include "gateway/GatewayCore.h"

namespace {
constexpr long kClientEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

std::string ConnectionText(const std::array<std::uint8_t, 4>& address, const char* pszOutcome) {
    char szText[96];
    std::snprintf(szText, sizeof szText, "Connection from %u.%u.%u.%u %s", address[0], address[1],
                  address[2], address[3], pszOutcome);
    return szText;
}

bool IsOutOfDescriptors(int nCode) { return nCode == EMFILE || nCode == ENFILE; }
}  // namespace

void CListenSocket::OnAccept(int nErrorCode) {
    CGatewayCore& app = *m_pApp;
    // A retry after running out of descriptors is for a client that was counted already.
    if (!m_bOutOfDescriptors) app.m_nConnections += 1;
    auto* pClient = new CClientSocket();
    pClient->m_pNext = app.m_pConnections;
    app.m_pConnections = pClient;
    socklen_t nLength = sizeof pClient->m_addrPeer;
    const BOOL bAccepted =
        Accept(*pClient, reinterpret_cast<sockaddr*>(&pClient->m_addrPeer), &nLength);
    pClient->m_nAddrLen = static_cast<std::int32_t>(nLength);
    if (!bAccepted) {
        if (!AcceptFailed(pClient, WSAGetLastError())) return;
    } else {
        m_bOutOfDescriptors = false;
        Screen(pClient);
    }
    CAsyncSocket::OnAccept(nErrorCode);
    app.SendMonitorStatus();
    app.RefreshMonitor();
}

// Frees the connection object at once. False when nothing new is to be told: a retry that ran
// out of descriptors again.
bool CListenSocket::AcceptFailed(CClientSocket* pClient, int nCode) {
    CGatewayCore& app = *m_pApp;
    app.m_pConnections = static_cast<CClientSocket*>(pClient->m_pNext);
    delete pClient;
    if (!IsOutOfDescriptors(nCode)) {
        // This failure ends the client an episode counted, if any: the next one is new.
        m_bOutOfDescriptors = false;
        app.ReportError(nCode, "Error Accepting Socket");
        return true;
    }
    // The socket stays readable while clients wait, so accepting must pause, not spin.
    PauseAccepting();
    if (m_bOutOfDescriptors) return false;
    m_bOutOfDescriptors = true;
    app.ReportError(nCode, "Error Accepting Socket");
    return true;
}

void CListenSocket::PauseAccepting() {
    AsyncSelect(0);
    // Without a timer there is no way back but trying again at once.
    if (!m_retryTimer.Start(kRetryMs, [this] { AsyncSelect(FD_ACCEPT); })) AsyncSelect(FD_ACCEPT);
}

void CListenSocket::Screen(CClientSocket* pClient) {
    CGatewayCore& app = *m_pApp;
    std::array<std::uint8_t, 4> address{};
    std::memcpy(address.data(), &pClient->m_addrPeer.sin_addr, address.size());
    const int nListings = app.CheckBlacklists(address);
    if (nListings > 0) {
        app.m_nRejected += 1;
        char szOutcome[48];
        std::snprintf(szOutcome, sizeof szOutcome, "Rejected (Blacklist Listings: %d)", nListings);
        app.LogActivity(ConnectionText(address, szOutcome));
        pClient->AsyncSelect(kClientEvents);
        pClient->m_bRejected = 1;
        pClient->SendText(kRejectLine);
        pClient->m_nState = 0;
        return;
    }
    pClient->AsyncSelect(kClientEvents);
    pClient->ConnectChannel();
    app.LogActivity(ConnectionText(address, "Accepted"));
}
