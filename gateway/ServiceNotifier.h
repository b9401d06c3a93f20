// CServiceNotifier: what the listener tells a service manager (platform/ServiceNotify.h).
// Start sends READY=1 with the counters as STATUS ("Connections Received n, Rejected n"); then a
// timer on the listener's own loop refreshes STATUS when the counters have changed and, when the
// manager asked for a watchdog, sends WATCHDOG=1 at half its interval. The pings come from the
// loop that serves the clients, so a listener stuck in a handler or a deadlock stops them and the
// manager restarts the service.
//
// Made, started and destroyed on the listener thread (CListenThread), once its listening socket
// is open; destroying it stops the timer. Without a manager (no NOTIFY_SOCKET) Start does
// nothing at all. A timer that cannot be made leaves the pings out, and the manager's watchdog
// then restarts the service, as for a hung loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/LoopTimer.h"

class CServiceNotifier {
public:
    // Counters and their refresh: STATUS waits at most this long without a watchdog.
    static constexpr int kStatusIntervalMs = 10000;

    CServiceNotifier(const std::atomic<std::int32_t>& nConnections,
                     const std::atomic<std::int32_t>& nRejected);

    void Start();

private:
    std::string Status() const;
    void Tick();

    const std::atomic<std::int32_t>& m_nConnections;
    const std::atomic<std::int32_t>& m_nRejected;
    CLoopTimer m_timer;
    int m_nTickMs = kStatusIntervalMs;
    bool m_bWatchdog = false;
    std::string m_strLastStatus;
};
