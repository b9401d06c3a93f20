#include "gateway/ListenSocket.h"

#include <cstdio>
#include <cstring>

#include "gateway/ClientSocket.h"
#include "gateway/ConnectionList.h"
#include "gateway/GatewayCore.h"

namespace {
std::string ConnectionText(const std::array<std::uint8_t, 4>& address, const char* pszOutcome) {
    char szText[96];
    std::snprintf(szText, sizeof szText, "Connection from %u.%u.%u.%u %s", address[0], address[1],
                  address[2], address[3], pszOutcome);
    return szText;
}

bool IsOutOfDescriptors(int nCode) { return nCode == EMFILE || nCode == ENFILE; }
}  // namespace

CListenSocket::CListenSocket(CGatewayCore* pApp, CConnectionList* pConnections)
    : m_pApp(pApp), m_pConnections(pConnections) {
    m_retryTimer.Prepare();
}

CListenSocket::~CListenSocket() = default;

void CListenSocket::OnAccept(int nErrorCode) {
    CGatewayCore& app = *m_pApp;
    // A retry after running out of descriptors is for a client that was counted already.
    if (!m_bOutOfDescriptors) app.m_nConnections += 1;
    auto pClient = std::make_unique<CClientSocket>(app, ++m_nAccepted);
    socklen_t nLength = sizeof pClient->m_addrPeer;
    const BOOL bAccepted =
        Accept(*pClient, reinterpret_cast<sockaddr*>(&pClient->m_addrPeer), &nLength);
    pClient->m_nAddrLen = static_cast<std::int32_t>(nLength);
    if (!bAccepted) {
        if (AcceptFailed(WSAGetLastError())) TellMonitors();
        return;
    }
    m_bOutOfDescriptors = false;
    if (m_pConnections == nullptr) return;  // nobody to own it: the client is closed
    Screen(m_pConnections->Add(std::move(pClient)));
    CAsyncSocket::OnAccept(nErrorCode);
}

// The end of every accept notification that has something to tell: the monitors' status lines
// and the monitor window.
void CListenSocket::TellMonitors() {
    m_pApp->SendMonitorStatus();
    m_pApp->RefreshMonitor();
}

// False when nothing new is to be told: a retry that ran out of descriptors again.
bool CListenSocket::AcceptFailed(int nCode) {
    CGatewayCore& app = *m_pApp;
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

void CListenSocket::Screen(CClientSocket& client) {
    std::array<std::uint8_t, 4> address{};
    std::memcpy(address.data(), &client.m_addrPeer.sin_addr, address.size());
    m_pApp->m_screening.Start(
        address, [this, &client, address](int nListings) { Decide(client, address, nListings); });
}

void CListenSocket::Decide(CClientSocket& client, const std::array<std::uint8_t, 4>& address,
                           int nListings) {
    CGatewayCore& app = *m_pApp;
    if (nListings > 0) {
        app.m_nRejected += 1;
        char szOutcome[48];
        std::snprintf(szOutcome, sizeof szOutcome, "Rejected (Blacklist Listings: %d)", nListings);
        app.LogActivity(ConnectionText(address, szOutcome));
        client.Reject(kRejectLine);
    } else {
        in_addr mailServer{};
        const bool bResolved = app.m_mailServer.For(app.m_settings.GetMailServer(), mailServer);
        client.StartRelay(bResolved ? &mailServer : nullptr, app.m_settings.PortOut);
        app.LogActivity(ConnectionText(address, "Accepted"));
    }
    TellMonitors();
}
