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

CChannelSocket::CChannelSocket() { m_nState = 0; }

void CChannelSocket::OnConnect(int nErrorCode) {
    CGatewayCore& app = GatewayCore();
    if (nErrorCode != 0) {
        ConnectFailed(nErrorCode, true);
    } else {
        m_nConnectState = 1;
        app.SetMailServerStatus(1);
        // A channel whose client has already gone only delivers what it was given, then closes.
        if (IsDraining())
            Flush();
        else
            m_nState = 1;
    }
    app.RefreshMonitor();
}

void CChannelSocket::ConnectFailed(int nErrorCode, bool bWaitForFirstBlock) {
    CGatewayCore& app = GatewayCore();
    m_nConnectState = 2;
    if (IsDraining()) FinishDrain();
    app.SetMailServerStatus(0);
    app.ReportError(nErrorCode, "Could not connect to Mail Server");
    if (m_pClient == nullptr) return;
    if (bWaitForFirstBlock) WaitForFirstBlock();
    if (m_pClient->m_strKind != "Monitor") m_pClient->Close();
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
    for (int nRound = 0; nRound < kFirstBlockRounds && m_pClient->m_strKind.empty(); ++nRound) {
        if (pLoop != nullptr && pLoop->IsQuitting()) break;
        std::this_thread::sleep_for(kFirstBlockWait);
        GatewayCore().PumpMessages();
    }
    t_bWaiting = false;
}

void CChannelSocket::OnReceive(int nErrorCode) {
    if (m_nState == 0 || m_hSocket == INVALID_SOCKET) {
        m_nState = 0;
        return;
    }
    if (nErrorCode != 0 || m_bChannelBusy) {
        CAsyncSocket::OnReceive(nErrorCode);
        SelectEvents(FD_READ | FD_WRITE | FD_CLOSE);
        return;
    }
    m_bChannelBusy = 1;
    const int nCount = Receive(m_rxBuffer.data(), kBufferSize - 1);
    if (nCount == 0) {
        Disconnect();
    } else if (nCount < 0) {
        const int nCode = WSAGetLastError();
        if (nCode != EWOULDBLOCK && nCode != EAGAIN)
            GatewayCore().ReportError(nCode, "Receiving from Channel");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } else if (m_pClient != nullptr) {
        m_pClient->SendRaw(m_rxBuffer.data(), nCount);
    } else {
        RunLineLoop(nCount);
    }
    m_bChannelBusy = 0;
    if (m_hSocket != INVALID_SOCKET) SelectEvents(FD_READ | FD_WRITE | FD_CLOSE);
}

void CChannelSocket::OnClose(int) {
    m_nState = 0;
    if (m_pClient == nullptr) return;
    if (m_pClient->m_strKind != "Monitor") m_pClient->Close();
    GatewayCore().RefreshMonitor();
}

// Only the configuration test's channel (no client) gets here: the server's lines are shown in
// the monitor window's log pane behind "->", appended as they are (CR LF kept, nothing trimmed).
void CChannelSocket::ProcessLine() {
    if (IMainWindow* pMain = GatewayCore().m_pMainWnd.load())
        pMain->AppendLogText("->" + m_strLine, IMainWindow::kKeepAll);
}
