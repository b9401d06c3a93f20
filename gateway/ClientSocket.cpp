#include "gateway/ClientSocket.h"

#include <chrono>
#include <thread>

#include "gateway/ChannelSocket.h"
#include "gateway/GatewayCore.h"

namespace {
constexpr long kChannelEvents = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
constexpr const char* kMonitorWord = "MONITOR";
constexpr const char* kChannelQuit = "QUIT\r\n\r\n";
}  // namespace

CClientSocket::~CClientSocket() {
    if (m_pChannel != nullptr) {
        m_pChannel->Disconnect();
        delete m_pChannel;
        m_pChannel = nullptr;
    }
}

void CClientSocket::ConnectChannel() {
    CGatewayCore& app = GatewayCore();
    if (app.m_settings.PortOut == 0) return;
    m_pChannel = new CChannelSocket();
    const bool bCreated = m_pChannel->Create(0, SOCK_STREAM, kChannelEvents);
    const int nCreateError = WSAGetLastError();
    if (bCreated) m_pChannel->Connect(app.m_settings.GetMailServer(), app.m_settings.PortOut);
    m_pChannel->m_pClient = this;
    m_pChannel->m_pFeeder = this;
    m_pFeeder = m_pChannel;
    // Without a socket no outcome would ever arrive; the client must not wait for one.
    if (!bCreated) m_pChannel->OnConnect(nCreateError);
}

// The channel is closed, once it has sent what this client gave it; the object itself goes
// with the client, so that a channel handler that is waiting further up the stack (the pump
// in OnConnect) never finds itself deleted.
void CClientSocket::ReleaseChannel() {
    if (m_pChannel != nullptr) m_pChannel->CloseAfterDrain();
}

void CClientSocket::Close() { CloseAfterDrain(); }

bool CClientSocket::IsFinishing() const {
    return IsDraining() || (m_pChannel != nullptr && m_pChannel->IsDraining());
}

void CClientSocket::OnReceive(int) {
    if (m_nState != 1 || m_hSocket == INVALID_SOCKET || m_bRejected) {
        m_nState = 0;
        return;
    }
    if (m_bInReceive) return;
    m_bInReceive = 1;
    const int nCount = Receive(m_rxBuffer.data(), kBufferSize - 1);
    if (nCount == SOCKET_ERROR) {
        if (WSAGetLastError() == ECONNABORTED && m_hSocket != INVALID_SOCKET) Close();
    } else {
        if (m_strKind.empty()) IdentifyConnection(nCount);
        if (m_strKind == "SMTP" && m_pChannel != nullptr) {
            m_pChannel->SendRaw(m_rxBuffer.data(), nCount);
        } else if (m_strKind == "Monitor") {
            RunLineLoop(nCount);
        }
    }
    m_bInReceive = 0;
    if (m_hSocket != INVALID_SOCKET) SelectEvents(FD_READ | FD_WRITE | FD_CLOSE);
}

// Only a whole first line in the first block can identify a monitor.
void CClientSocket::IdentifyConnection(int nCount) {
    int nPosition = 0;
    if (ExtractLine(m_rxBuffer.data(), nCount, nPosition) && m_strWords[0] == kMonitorWord) {
        BecomeMonitor();
        return;
    }
    m_strKind = "SMTP";
    m_strPartial.clear();  // an SMTP client's lines are never read
}

void CClientSocket::BecomeMonitor() {
    CGatewayCore& app = GatewayCore();
    m_strKind = "Monitor";
    if (m_pChannel != nullptr) {
        m_pChannel->SendText(kChannelQuit);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    app.m_nConnections -= 1;
    app.SendMonitorStatus();
}

void CClientSocket::ProcessLine() {
    if (!IsCommand("QUIT")) return;
    m_nState = 0;
    Close();
    ReleaseChannel();
    GatewayCore().RefreshMonitor();
}

void CClientSocket::OnClose(int) {
    m_nState = 0;
    ReleaseChannel();
    GatewayCore().RefreshMonitor();
}
