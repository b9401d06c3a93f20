#include "gateway/MonitorStatus.h"

#include <algorithm>
#include <cstdio>

#include "gateway/ClientSocket.h"

void CMonitorStatus::Add(CClientSocket& monitor) {
    auto it = std::find_if(m_monitors.begin(), m_monitors.end(), [&](const CClientSocket* p) {
        return p->m_nSequence < monitor.m_nSequence;
    });
    m_monitors.insert(it, &monitor);
}

void CMonitorStatus::Remove(CClientSocket& monitor) {
    m_monitors.erase(std::remove(m_monitors.begin(), m_monitors.end(), &monitor), m_monitors.end());
}

bool CMonitorStatus::TakeRefusalLogTurn() {
    const auto now = std::chrono::steady_clock::now();
    if (m_lastRefusalLogged && now - *m_lastRefusalLogged < kRefusalLogGap) return false;
    m_lastRefusalLogged = now;
    return true;
}

void CMonitorStatus::Send() {
    if (m_monitors.empty()) return;
    char szLines[96];
    std::snprintf(szLines, sizeof szLines, "STAT %d\r\nCON %10ld\r\nREJ %10ld\r\n",
                  static_cast<int>(m_nMailServerStatus), static_cast<long>(m_nConnections),
                  static_cast<long>(m_nRejected));
    const std::string strLines = szLines;
    for (CClientSocket* pMonitor : m_monitors) pMonitor->SendStatus(strLines);
}

void CMonitorStatus::SetMailServerStatus(int nValue) {
    if (nValue == m_nMailServerStatus) return;
    m_nMailServerStatus = nValue;
    Send();
}
