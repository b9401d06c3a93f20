#include "gateway/ChannelSocket.h"

#include "gateway/ClientSocket.h"
#include "gateway/MailServerStatus.h"
#include "logging/ActivityLog.h"

CChannelSocket::CChannelSocket(CActivityLog& log, IMailServerStatus& status)
    : m_log(log), m_status(status) {
    m_nState = 0;
}

// A channel whose client has already closed for good only delivers what it was given.
void CChannelSocket::OnConnect(int nErrorCode) {
    if (nErrorCode != 0) {
        ConnectFailed(nErrorCode, true);
    } else {
        m_nConnectState = 1;
        m_status.SetMailServerStatus(1);
        if (!IsClosing()) m_nState = 1;
        Flush();
    }
    m_log.RefreshMonitor();
}

// The client's first block may still show it a monitor, which stays connected: the relay waits
// for it on the loop, and every other connection is served meanwhile.
void CChannelSocket::ConnectFailed(int nErrorCode, bool bWaitForFirstBlock) {
    m_nConnectState = 2;
    m_status.SetMailServerStatus(0);
    m_log.ReportError(nErrorCode, "Could not connect to Mail Server");
    if (bWaitForFirstBlock && AwaitsFirstBlock() &&
        m_firstBlockWait.Arm(kFirstBlockWaitMs, [this] { EndFailedRelay(); }))
        return;
    EndFailedRelay();
}

bool CChannelSocket::AwaitsFirstBlock() const {
    return m_pClient != nullptr && !m_pClient->m_bIdentified &&
           m_pClient->m_hSocket != INVALID_SOCKET;
}

void CChannelSocket::FirstBlockHandled() {
    if (m_firstBlockWait.IsArmed()) EndFailedRelay();
}

// The SMTP client goes with the channel that failed; a monitor stays.
void CChannelSocket::EndFailedRelay() {
    m_firstBlockWait.Cancel();
    if (m_pClient == nullptr) return;
    if (!m_pClient->IsMonitor()) m_pClient->Close();
    // Nothing can be sent: the relay's end handling takes it from here.
    if (m_pClient != nullptr) Disconnect();
}

void CChannelSocket::HoldReading(int nMs) {
    if (m_readHold.Arm(nMs, [this] { EndHold(); })) SyncEvents();
}

// A close swallowed by the hold reaches the relay now: by reading, when reading resumes, or as
// the hang-up it was, when reading stays paused (back-pressure).
void CChannelSocket::EndHold() {
    SyncEvents();
    const bool bHangUp = m_bHangUpHeld;
    m_bHangUpHeld = false;
    if (bHangUp && m_hSocket != INVALID_SOCKET && (EventMask() & FD_READ) == 0)
        CLineSocket::OnHangUp(0);
}

void CChannelSocket::OnHangUp(int nErrorCode) {
    if (m_readHold.IsArmed()) {
        m_bHangUpHeld = true;
        return;
    }
    CLineSocket::OnHangUp(nErrorCode);
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
            m_log.ReportError(nCode, "Receiving from Channel");
        HoldReading(kReceiveErrorHoldMs);
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
    m_log.RefreshMonitor();
}

void CChannelSocket::OnEndChanged() {
    if (m_pClient != nullptr) m_pClient->RelayChanged();
}

// Only the configuration test's channel (no client) gets here: the server's lines are shown in
// the monitor window's log pane behind "->", appended as they are (CR LF kept, nothing trimmed).
void CChannelSocket::ProcessLine() {
    if (IMainWindow* pMain = m_log.MainWindow())
        pMain->AppendLogText("->" + m_strLine, IMainWindow::kKeepAll);
}
