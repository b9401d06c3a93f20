#include "gateway/ChannelSocket.h"

#include <chrono>
#include <thread>

#include "gateway/ClientSocket.h"
#include "gateway/GatewayCore.h"
#include "platform/EventLoop.h"

namespace {
constexpr int kFirstBlockRounds = 10;
constexpr auto kFirstBlockWait = std::chrono::milliseconds(50);
// Set while a wait for a first block pumps this thread.
thread_local bool t_bWaiting = false;
}  // namespace

CChannelSocket::CChannelSocket() : CChannelSocket(GatewayCore()) {}

CChannelSocket::CChannelSocket(CGatewayCore& core) : m_core(core) { m_nState = 0; }

// A channel whose client has already closed for good only delivers what it was given.
void CChannelSocket::OnConnect(int nErrorCode) {
    if (nErrorCode != 0) {
        ConnectFailed(nErrorCode, true);
    } else {
        m_nConnectState = 1;
        m_core.SetMailServerStatus(1);
        if (!IsClosing()) m_nState = 1;
        Flush();
    }
    m_core.RefreshMonitor();
}

void CChannelSocket::ConnectFailed(int nErrorCode, bool bWaitForFirstBlock) {
    m_nConnectState = 2;
    m_core.SetMailServerStatus(0);
    m_core.ReportError(nErrorCode, "Could not connect to Mail Server");
    if (m_pClient != nullptr) {
        if (bWaitForFirstBlock) WaitForFirstBlock();
        if (!m_pClient->IsMonitor()) m_pClient->Close();
    }
    // Nothing can be sent: the relay's end handling takes it from here.
    if (m_pClient != nullptr) Disconnect();
}

// Lets the client's first block arrive (it may identify a monitor, which stays connected).
// The pump runs this thread's other notifications meanwhile, this client's included; objects
// are never freed inside it. Another failed connect handled inside that pump does not wait in
// turn: with the mail server down, a burst of clients would otherwise nest one wait in the
// next until the stack runs out.
void CChannelSocket::WaitForFirstBlock() {
    if (t_bWaiting) return;
    t_bWaiting = true;
    CEventLoop* pLoop = CEventLoop::ForThisThread();
    for (int nRound = 0; nRound < kFirstBlockRounds && m_pClient != nullptr &&
                         !m_pClient->m_bIdentified && m_pClient->m_hSocket != INVALID_SOCKET;
         ++nRound) {
        if (pLoop != nullptr && pLoop->IsQuitting()) break;
        std::this_thread::sleep_for(kFirstBlockWait);
        m_core.PumpMessages();
    }
    t_bWaiting = false;
}

void CChannelSocket::OnReceive(int nErrorCode) {
    if (m_nState == 0 || m_hSocket == INVALID_SOCKET) {
        m_nState = 0;
        return;
    }
    if (nErrorCode != 0 || m_bInReceive) {
        CAsyncSocket::OnReceive(nErrorCode);
        SyncEvents();
        return;
    }
    m_bInReceive = 1;
    int nCount = 0;
    if (m_pClient != nullptr) {
        nCount = PumpBlock();
    } else {
        CReceiveBuffer buffer;
        nCount = ReceiveBlock(buffer);
        if (nCount > 0) RunLineLoop(buffer.data(), nCount);
        if (nCount == 0) Disconnect();
    }
    if (nCount < 0) {
        const int nCode = WSAGetLastError();
        if (nCode != EWOULDBLOCK && nCode != EAGAIN)
            m_core.ReportError(nCode, "Receiving from Channel");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    m_bInReceive = 0;
    SyncEvents();
}

void CChannelSocket::OnClose(int) {
    if (m_pClient == nullptr) {
        m_nState = 0;
        return;
    }
    PeerClosed();
    m_core.RefreshMonitor();
}

void CChannelSocket::OnEndChanged() {
    if (m_pClient != nullptr) m_pClient->RelayChanged();
}

// Only the configuration test's channel (no client) gets here: the server's lines are shown in
// the monitor window's log pane behind "->", appended as they are (CR LF kept, nothing trimmed).
void CChannelSocket::ProcessLine() {
    if (IMainWindow* pMain = m_core.m_pMainWnd.load())
        pMain->AppendLogText("->" + m_strLine, IMainWindow::kKeepAll);
}
