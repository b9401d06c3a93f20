#include "gateway/GatewayCore.h"

#include <cstdio>
#include <mutex>

#include "gateway/ListenThread.h"
#include "platform/ServiceNotify.h"

namespace {
constexpr const char* kDumpFileName = "Tarnwk.dbg";
// The dump file is one per working folder, whichever gateway writes it; the lock keeps any
// other caller's line from landing in the middle of one.
std::mutex g_dumpLock;
}  // namespace

CGatewayCore::CGatewayCore(CActivityLog& log)
    : m_log(log),
      m_screening(m_screeningLog),
      m_monitors(m_counters.m_nConnections, m_counters.m_nRejected, m_counters.m_nMailServerStatus),
      m_context{log, m_counters, m_config, m_screening, m_monitors} {}

CGatewayCore::~CGatewayCore() { StopListenThread(); }

std::vector<std::string> CGatewayCore::Publish(const Settings& settings, bool bNewLoad) {
    m_owner.Assert("CGatewayCore::Publish");
    if (bNewLoad || m_pCatches == nullptr) m_pCatches = std::make_shared<CCatchCounts>();
    auto pConfig = std::make_shared<CGatewayConfig>();
    pConfig->settings = settings;
    pConfig->pPolicy = m_screening.Reload(pConfig->settings, m_pCatches);
    // A load looks the name up afresh; an edit of loaded settings reuses the address of a name
    // it keeps.
    if (bNewLoad) m_mailServer.Resolve(settings.MailServer);
    pConfig->bMailServerResolved = m_mailServer.For(settings.MailServer, pConfig->mailServer);
    m_log.SetLogFile(settings.EnableLogging != 0, settings.LogFileName);
    std::vector<std::string> problems = pConfig->pPolicy->problems;
    m_config.Publish(std::move(pConfig));
    if (!bNewLoad) return {};
    CListenThread* pThread = m_pListenThread.get();
    if (pThread != nullptr) m_listenPoster.Post([pThread] { pThread->CheckZones(); });
    return problems;
}

int CGatewayCore::StartListenThread() {
    m_owner.Assert("CGatewayCore::StartListenThread");
    StopListenThread();
    auto pThread = std::make_unique<CListenThread>(m_context);
    if (!pThread->CreateThread(&m_listenPoster)) return EAGAIN;
    m_pListenThread = std::move(pThread);
    return m_pListenThread->ListenFailure();
}

// The listener never waits for this thread, so the join ends as soon as its loop has.
void CGatewayCore::StopListenThread() {
    m_owner.Assert("CGatewayCore::StopListenThread");
    if (m_pListenThread == nullptr) return;
    m_pListenThread->Stop();
    m_pListenThread.reset();
    m_listenPoster = CLoopPoster();
}

void CGatewayCore::ApplySettingsToListener() {
    CListenThread* pThread = m_pListenThread.get();
    if (pThread != nullptr) m_listenPoster.Post([pThread] { pThread->ApplySettings(); });
}

void CGatewayCore::NotifyReloadDone() {
    const auto ready = [] { NotifyServiceManager("READY=1"); };
    if (m_pListenThread == nullptr || !m_listenPoster.Post(ready)) ready();
}

int CGatewayCore::CheckBlacklists(const CNetAddress& address) {
    return m_screening.Check(address, m_config.Current()->pPolicy);
}

int CGatewayCore::CheckBlacklists(const std::array<std::uint8_t, 4>& address) {
    return CheckBlacklists(CNetAddress::FromIPv4(address));
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

void CGatewayCore::SetMailServerStatus(int nValue) {
    m_owner.Assert("CGatewayCore::SetMailServerStatus");
    if (m_counters.m_nMailServerStatus.exchange(nValue) == nValue) return;
    m_listenPoster.Post([this] { m_monitors.Send(); });
}

std::vector<CCatchRow> CGatewayCore::CatchRows() const {
    const ConfigPtr pConfig = m_config.Current();
    std::vector<CCatchRow> rows;
    for (const CDnsblServer* p = pConfig->settings.DNSBL_Servers; p != nullptr; p = p->m_pNext)
        if (p->m_bActive != 0)
            rows.push_back({p->m_strName, pConfig->pPolicy->pCatches->Of(p->m_nId),
                            m_screening.CheckedHealth(p->m_strName)});
    return rows;
}
