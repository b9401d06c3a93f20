// The gateway side of the monitor protocol: the status lines every monitor connection gets.
#include <cstdio>

#include "gateway/ClientSocket.h"
#include "gateway/GatewayCore.h"

namespace {
std::string StatusLines(int nStatus, long nConnections, long nRejected) {
    char szLines[96];
    std::snprintf(szLines, sizeof szLines, "STAT %d\r\nCON %10ld\r\nREJ %10ld\r\n", nStatus,
                  nConnections, nRejected);
    return szLines;
}
}  // namespace

void CGatewayCore::SendMonitorStatus() {
    const std::string strLines = StatusLines(m_nMailServerStatus, m_nConnections, m_nRejected);
    for (CClientSocket* pClient = m_pConnections; pClient != nullptr;
         pClient = static_cast<CClientSocket*>(pClient->m_pNext)) {
        if (pClient->m_strKind == "Monitor") pClient->SendText(strLines);
    }
}

void CGatewayCore::SetMailServerStatus(int nValue) {
    if (nValue == m_nMailServerStatus) return;
    m_nMailServerStatus = nValue;
    SendMonitorStatus();
}
