#include "gateway/GatewayCore.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "gateway/ListenThread.h"
#include "platform/ServiceNotify.h"

namespace {
constexpr const char* kDumpFileName = "Tarnwk.dbg";
// The dump file is written by the listener thread; the lock keeps any other caller's line
// from landing in the middle of one.
std::mutex g_dumpLock;
}  // namespace

CGatewayCore::CGatewayCore()
    : m_screening(m_settings, m_screeningLog),
      m_monitors(m_nConnections, m_nRejected, m_nMailServerStatus) {}

CGatewayCore::~CGatewayCore() { StopListenThread(); }

int CGatewayCore::CheckBlacklists(const std::array<std::uint8_t, 4>& address) {
    return m_screening.Check(address);
}

void CGatewayCore::WriteDebugDump(const std::string& strText) {
    std::lock_guard<std::mutex> guard(g_dumpLock);
    FILE* pFile = std::fopen(kDumpFileName, "rb+");
    if (pFile == nullptr) pFile = std::fopen(kDumpFileName, "wb+");
    if (pFile == nullptr) return;  // the line is lost; the lookup goes on
    std::fseek(pFile, 0, SEEK_END);
    std::fprintf(pFile, "%s\n", strText.c_str());
    std::fclose(pFile);
}

// The mail server's name is looked up here, on the UI thread, not by the listener per client.
CListenThread* CGatewayCore::StartListenThread() {
    StopListenThread();
    ResolveMailServer();
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

void CGatewayCore::ScreeningReloaded() {
    for (const std::string& strProblem : m_screening.Reload()) ReportError(0, strProblem);
    CListenThread* pThread = m_pListenThread;
    if (pThread != nullptr) m_listenPoster.Post([pThread] { pThread->CheckZones(); });
}

void CGatewayCore::SetMailServerStatus(int nValue) {
    if (!IsUiThread()) return m_monitors.SetMailServerStatus(nValue);
    if (m_nMailServerStatus.exchange(nValue) == nValue) return;
    m_listenPoster.Post([this] { m_monitors.Send(); });
}

void CGatewayCore::ApplySettingsToListener() {
    CListenThread* pThread = m_pListenThread;
    if (pThread != nullptr) m_listenPoster.Post([pThread] { pThread->ApplySettings(); });
}

void CGatewayCore::NotifyReloadDone() {
    const auto ready = [] { NotifyServiceManager("READY=1"); };
    if (m_pListenThread == nullptr || !m_listenPoster.Post(ready)) ready();
}
