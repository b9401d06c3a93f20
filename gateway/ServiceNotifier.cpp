#include "gateway/ServiceNotifier.h"

#include <algorithm>
#include <cstdlib>

#include "platform/ServiceNotify.h"

CServiceNotifier::CServiceNotifier(const std::atomic<std::int32_t>& nConnections,
                                   const std::atomic<std::int32_t>& nRejected)
    : m_nConnections(nConnections), m_nRejected(nRejected) {}

// The counters as the monitor protocol reads them: unsigned, so that a wrapped one still counts.
std::string CServiceNotifier::Status() const {
    return "Connections Received " +
           std::to_string(static_cast<std::uint32_t>(m_nConnections.load())) + ", Rejected " +
           std::to_string(static_cast<std::uint32_t>(m_nRejected.load()));
}

void CServiceNotifier::Start() {
    if (std::getenv("NOTIFY_SOCKET") == nullptr) return;
    const long long nWatchdogUsec = ServiceWatchdogUsec();
    m_bWatchdog = nWatchdogUsec > 0;
    if (m_bWatchdog)
        m_nTickMs = static_cast<int>(std::clamp<long long>(nWatchdogUsec / 2000, 1, 1 << 30));
    m_strLastStatus = Status();
    NotifyServiceManager("READY=1\nSTATUS=" + m_strLastStatus);
    m_timer.Start(m_nTickMs, [this] { Tick(); });
}

void CServiceNotifier::Tick() {
    std::string strState = m_bWatchdog ? "WATCHDOG=1" : "";
    const std::string strStatus = Status();
    if (strStatus != m_strLastStatus) {
        m_strLastStatus = strStatus;
        strState += (strState.empty() ? "" : "\n") + ("STATUS=" + strStatus);
    }
    if (!strState.empty()) NotifyServiceManager(strState);
    m_timer.Start(m_nTickMs, [this] { Tick(); });
}
