#include "gateway/ListenThread.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include "gateway/ClientSocket.h"
#include "gateway/GatewayCore.h"
#include "gateway/ListenSocket.h"

CListenThread::CListenThread() { GatewayCore().m_nListenThreads += 1; }

CListenThread::~CListenThread() {
    DeleteListenSocket();
    DeleteConnections();
    GatewayCore().m_nListenThreads -= 1;
}

BOOL CListenThread::InitInstance() {
    CreateListenSocket();
    return TRUE;
}

BOOL CListenThread::OnIdle(LONG lCount) {
    SweepConnections();
    return CWinThread::OnIdle(lCount);
}

int CListenThread::ExitInstance() {
    DeleteListenSocket();
    DeleteConnections();
    return CWinThread::ExitInstance();
}

void CListenThread::DeleteListenSocket() {
    if (m_pListenSocket == nullptr) return;
    m_pListenSocket->Close();
    delete m_pListenSocket;
    m_pListenSocket = nullptr;
}

void CListenThread::CreateListenSocket() {
    CGatewayCore& app = GatewayCore();
    DeleteListenSocket();
    m_pListenSocket = new CListenSocket(&app);
    // Port 0 would bind a random port and a larger one would wrap: neither is what was asked.
    const std::int32_t nPort = app.m_settings.PortIn;
    const bool bPortValid = nPort >= 1 && nPort <= 65535;
    if (bPortValid && m_pListenSocket->Create(nPort, SOCK_STREAM, FD_ACCEPT) &&
        m_pListenSocket->Listen(SOMAXCONN))
        return;
    const int nCode = bPortValid ? WSAGetLastError() : EINVAL;
    DeleteListenSocket();
    app.m_bReportShowing = 1;
    app.m_bGatewayDown = 1;
    app.m_bStopRequested = 1;
    app.ReportError(nCode, "Creating Listening Socket");
    app.m_bReportShowing = 0;
}

// Closed connections go, unless one of their sockets is still sending what it was given.
void CListenThread::SweepConnections() {
    CGatewayCore& app = GatewayCore();
    CClientSocket* pPrevious = nullptr;
    CClientSocket* pClient = app.m_pConnections;
    while (pClient != nullptr) {
        auto* pNext = static_cast<CClientSocket*>(pClient->m_pNext);
        if (pClient->m_nState == 0 && !pClient->IsFinishing()) {
            if (pPrevious != nullptr)
                pPrevious->m_pNext = pNext;
            else
                app.m_pConnections = pNext;
            delete pClient;
            app.m_bConnectionsSwept = 1;
        } else {
            pPrevious = pClient;
        }
        pClient = pNext;
    }
}

void CListenThread::DeleteConnections() {
    CGatewayCore& app = GatewayCore();
    while (CClientSocket* pClient = app.m_pConnections) {
        app.m_pConnections = static_cast<CClientSocket*>(pClient->m_pNext);
        delete pClient;
    }
}

CListenThread* CGatewayCore::StartListenThread() {
    StopListenThread();
    m_pListenThread = AfxBeginThread<CListenThread>(&m_listenPoster);
    return m_pListenThread;
}

void CGatewayCore::StopListenThread() {
    if (m_pListenThread == nullptr) return;
    m_listenPoster.PostQuit();
    while (m_nListenThreads != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        PumpMessages();
    }
    m_pListenThread = nullptr;
    m_listenPoster = CLoopPoster();
}
