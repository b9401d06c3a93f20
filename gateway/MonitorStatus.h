// CMonitorStatus: the monitor protocol's status lines and the connections that receive them.
//
// Owned by the gateway (CGatewayCore). The monitor connections are registered by
// the listener thread when they identify themselves and leave when they are destroyed; they are
// kept in the live-connection order (newest connection first), so that sending the lines costs
// one step per monitor, not one per connection. At most kMaxMonitors are registered at once:
// the listener refuses any further one, and logs that at most once every kRefusalLogGap. Send
// and SetMailServerStatus run on the listener thread only (CGatewayCore hands the UI thread's
// changes to it). Nothing here fails.
#pragma once

#include "gateway/MailServerStatus.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CClientSocket;

class CMonitorStatus : public IMailServerStatus {
public:
    static constexpr size_t kMaxMonitors = 64;
    static constexpr std::chrono::seconds kRefusalLogGap{60};

    // The counters shown (CON, REJ) and STAT, held by the application object.
    CMonitorStatus(const std::atomic<std::int32_t>& nConnections,
                   const std::atomic<std::int32_t>& nRejected,
                   std::atomic<std::int32_t>& nMailServerStatus)
        : m_nConnections(nConnections),
          m_nRejected(nRejected),
          m_nMailServerStatus(nMailServerStatus) {}

    void Add(CClientSocket& monitor);
    void Remove(CClientSocket& monitor);
    bool IsFull() const { return m_monitors.size() >= kMaxMonitors; }
    // Whether a refused monitor is logged: the first time, then once kRefusalLogGap has passed
    // since the last one logged.
    bool TakeRefusalLogTurn();
    // Every registered monitor gets "STAT %d", "CON %10ld" and "REJ %10ld", each ending CR LF;
    // one that has stopped reading is closed instead (CClientSocket::SendStatus).
    void Send();
    // Stores a changed status and tells the monitors; an unchanged one does nothing.
    void SetMailServerStatus(int nValue) override;

private:
    const std::atomic<std::int32_t>& m_nConnections;
    const std::atomic<std::int32_t>& m_nRejected;
    std::atomic<std::int32_t>& m_nMailServerStatus;
    std::vector<CClientSocket*> m_monitors;  // newest connection first
    std::optional<std::chrono::steady_clock::time_point> m_lastRefusalLogged;
};
