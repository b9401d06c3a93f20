#include "gateway/ListenThread.h"

#include <cerrno>

#include "gateway/ClientSocket.h"
#include "gateway/GatewayCore.h"

CListenThread::CListenThread() : m_core(GatewayCore()) { m_core.m_nListenThreads += 1; }

CListenThread::~CListenThread() {
    DeleteListenSocket();
    DeleteConnections();
    m_core.m_nListenThreads -= 1;
}

// Finished connections go at the end of every loop pass, so that memory and descriptors follow
// the live connections however busy the loop is.
BOOL CListenThread::InitInstance() {
    if (CEventLoop* pLoop = CEventLoop::ForThisThread())
        pLoop->SetPassEndHandler([this] { SweepConnections(); });
    m_pResolver = std::make_unique<CLoopResolver>();
    CreateListenSocket();
    return TRUE;
}

BOOL CListenThread::OnIdle(LONG lCount) {
    SweepConnections();
    return CWinThread::OnIdle(lCount);
}

// The connections go before the resolver, which their screenings still refer to.
int CListenThread::ExitInstance() {
    DeleteListenSocket();
    DeleteConnections();
    m_pResolver.reset();
    return CWinThread::ExitInstance();
}

void CListenThread::DeleteListenSocket() {
    if (m_pListenSocket == nullptr) return;
    m_pListenSocket->Close();
    m_pListenSocket.reset();
}

void CListenThread::CreateListenSocket() {
    DeleteListenSocket();
    m_pListenSocket = std::make_unique<CListenSocket>(&m_core, &m_connections, m_pResolver.get());
    // Port 0 would bind a random port and a larger one would wrap: neither is what was asked.
    const std::int32_t nPort = m_core.m_settings.PortIn;
    const bool bPortValid = nPort >= 1 && nPort <= 65535;
    if (bPortValid && m_pListenSocket->Create(nPort, SOCK_STREAM, FD_ACCEPT) &&
        m_pListenSocket->Listen(SOMAXCONN))
        return;
    const int nCode = bPortValid ? WSAGetLastError() : EINVAL;
    DeleteListenSocket();
    m_core.m_bReportShowing = 1;
    m_core.m_bGatewayDown = 1;
    m_core.m_bStopRequested = 1;
    m_core.ReportError(nCode, "Creating Listening Socket");
    m_core.m_bReportShowing = 0;
}

void CListenThread::SweepConnections() {
    if (m_connections.FreeFinished()) m_core.m_bConnectionsSwept = 1;
}

void CListenThread::DeleteConnections() { m_connections.Clear(); }
