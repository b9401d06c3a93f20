#include "gateway/ListenThread.h"

#include <cerrno>

#include "gateway/ClientSocket.h"
#include "gateway/MetricsText.h"

CListenThread::CListenThread(CGatewayContext& context) : m_context(context) {}

// The thread has been joined (or never ran): its objects went in ExitInstance.
CListenThread::~CListenThread() = default;

// Finished connections go at the end of every loop pass, so that memory and descriptors follow
// the live connections however busy the loop is.
BOOL CListenThread::InitInstance() {
    if (CEventLoop* pLoop = CEventLoop::ForThisThread())
        pLoop->SetPassEndHandler([this] { SweepConnections(); });
    m_pResolver = std::make_unique<CLoopResolver>();
    m_pIntake = std::make_unique<CClientIntake>(m_context, m_pResolver.get(),
                                                [this] { UpdateAccepting(); });
    CreateListenSocket();
    if (m_pListenSocket == nullptr) return TRUE;
    const ConfigPtr pConfig = m_context.config.Current();
    UpdateListenSocket6(m_nListenPort, pConfig->settings.ListenV6 != 0);
    OpenMetrics(pConfig->settings);
    // The zone checks begin once the listening socket is open, as the start-up expects; no check
    // answers before the loop runs anyway.
    m_pZoneChecker = std::make_unique<CZoneChecker>(m_context.screening, *m_pResolver);
    m_pZoneChecker->CheckNow();
    // A service manager hears that the gateway is ready only once clients can be taken.
    m_pNotifier = std::make_unique<CServiceNotifier>(m_context.counters.m_nConnections,
                                                     m_context.counters.m_nRejected);
    m_pNotifier->Start();
    return TRUE;
}

// The connections go before the intake and the resolver, which their screenings still refer to.
int CListenThread::ExitInstance() {
    m_pNotifier.reset();
    m_pMetrics.reset();
    DeleteListenSocket();
    DeleteConnections();
    m_pIntake.reset();
    m_pZoneChecker.reset();
    m_pResolver.reset();
    return CWinThread::ExitInstance();
}

void CListenThread::DeleteListenSocket() {
    for (std::unique_ptr<CListenSocket>* ppSocket : {&m_pListenSocket, &m_pListenSocket6}) {
        if (*ppSocket == nullptr) continue;
        (*ppSocket)->Close();
        ppSocket->reset();
    }
}

void CListenThread::UpdateAccepting() {
    for (CListenSocket* pSocket : {m_pListenSocket.get(), m_pListenSocket6.get()})
        if (pSocket != nullptr) pSocket->UpdateAccepting();
}

std::unique_ptr<CListenSocket> CListenThread::MakeListenSocket(std::int32_t nPort, bool bIPv6,
                                                               int& nCode) {
    auto pSocket = std::make_unique<CListenSocket>(m_context, *m_pIntake, &m_connections);
    // Port 0 would bind a random port and a larger one would wrap: neither is what was asked.
    const bool bPortValid = nPort >= 1 && nPort <= 65535;
    if (bPortValid && pSocket->Create(nPort, SOCK_STREAM, FD_ACCEPT, bIPv6 ? "::" : nullptr) &&
        pSocket->Listen(SOMAXCONN))
        return pSocket;
    nCode = bPortValid ? WSAGetLastError() : EINVAL;
    pSocket->Close();
    return nullptr;
}

// A failure is kept for the thread's owner, who reports it once the start is over.
void CListenThread::CreateListenSocket() {
    DeleteListenSocket();
    const std::int32_t nPort = m_context.config.Current()->settings.PortIn;
    int nCode = 0;
    m_pListenSocket = MakeListenSocket(nPort, false, nCode);
    m_nListenFailure = m_pListenSocket != nullptr ? 0 : nCode;
    if (m_pListenSocket != nullptr) m_nListenPort = nPort;
}

void CListenThread::ApplySettings() {
    const ConfigPtr pConfig = m_context.config.Current();
    const Settings& settings = pConfig->settings;
    const std::int32_t nPort = settings.PortIn;
    if (m_pListenSocket != nullptr && nPort != m_nListenPort)
        ReplaceListenSocket(m_pListenSocket, m_nListenPort, nPort, false);
    // IPv6 follows the port IPv4 listens on, moved or not.
    if (m_pListenSocket != nullptr) UpdateListenSocket6(m_nListenPort, settings.ListenV6 != 0);
    // An endpoint that could not be opened is tried again, as the administrator may have freed
    // its port before asking for the reload.
    const std::int32_t nMetricsPort = settings.MetricsPort;
    if (nMetricsPort != m_nMetricsPort || settings.MetricsAddress != m_strMetricsAddress ||
        (nMetricsPort != 0 && m_pMetrics == nullptr))
        OpenMetrics(settings);
}

// A failure keeps the old IPv6 socket (none, when ListenV6 has just been switched on), so that
// the next reload tries again.
void CListenThread::UpdateListenSocket6(std::int32_t nPort, bool bListenV6) {
    if (!bListenV6) {
        if (m_pListenSocket6 != nullptr) m_pListenSocket6->Close();
        m_pListenSocket6.reset();
        return;
    }
    if (m_pListenSocket6 == nullptr || nPort != m_nListenPort6)
        ReplaceListenSocket(m_pListenSocket6, m_nListenPort6, nPort, true);
}

// The new socket is opened before the old one closes, so that a port that cannot be had leaves
// the gateway listening where it was (a failure is reported; pSocket and nSocketPort stay).
// Clients still waiting in the old socket's queue are reset; those accepted already go on to
// their verdicts through the thread's intake.
void CListenThread::ReplaceListenSocket(std::unique_ptr<CListenSocket>& pSocket,
                                        std::int32_t& nSocketPort, std::int32_t nPort, bool bIPv6) {
    int nCode = 0;
    std::unique_ptr<CListenSocket> pNew = MakeListenSocket(nPort, bIPv6, nCode);
    if (pNew == nullptr) {
        m_context.log.ReportError(nCode, "Creating Listening Socket");
        return;
    }
    if (pSocket != nullptr) pSocket->Close();
    pSocket = std::move(pNew);
    nSocketPort = nPort;
    pSocket->UpdateAccepting();  // paused at once while too many await their verdict
}

void CListenThread::CheckZones() {
    if (m_pZoneChecker != nullptr) m_pZoneChecker->CheckNow();
}

void CListenThread::OpenMetrics(const Settings& settings) {
    m_pMetrics.reset();
    m_nMetricsPort = settings.MetricsPort;
    m_strMetricsAddress = settings.MetricsAddress;
    if (m_nMetricsPort == 0) return;
    auto pMetrics = std::make_unique<CMetricsServer>([this] { return RenderMetrics(); });
    if (!pMetrics->Open(m_strMetricsAddress, m_nMetricsPort)) {
        m_context.log.ReportError(WSAGetLastError(), "Creating Metrics Socket");
        return;
    }
    m_pMetrics = std::move(pMetrics);
}

// The counters are the monitor protocol's, read as unsigned so that a wrapped one still counts.
std::string CListenThread::RenderMetrics() const {
    CGatewayFigures figures;
    const CGatewayCounters& counters = m_context.counters;
    figures.nConnections = static_cast<std::uint32_t>(counters.m_nConnections.load());
    figures.nRejected = static_cast<std::uint32_t>(counters.m_nRejected.load());
    figures.nMailServerUp = counters.m_nMailServerStatus;
    figures.nOpenConnections = m_connections.LiveCount();
    figures.screening = m_context.screening.Metrics().Snapshot();
    figures.zoneHealths = m_context.screening.ZoneHealths();
    figures.bZoneChecks = m_context.screening.CurrentPolicy()->ChecksOn();
    figures.bClientDefences = CClientDefences::AnyOn(*m_context.config.Current());
    return ::RenderMetrics(figures);
}

void CListenThread::SweepConnections() {
    // What the monitor window shows may have changed with them: it is asked to look again.
    if (m_connections.FreeFinished()) m_context.log.RefreshMonitor();
    if (m_pMetrics != nullptr) m_pMetrics->FreeFinished();
}

void CListenThread::DeleteConnections() { m_connections.Clear(); }
