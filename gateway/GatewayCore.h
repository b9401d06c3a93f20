// The application object's gateway share: the counters, the live-connection list, the listener
// thread, the DNSBL lookup and the monitor protocol's status lines.
//
// Counters and flags are atomics: the listener thread writes them, the UI thread reads them (and
// sets the few the UI owns). The live-connection list belongs to the listener thread; the only
// other thread to walk it is the UI thread while no listener runs (the configuration test).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "logging/LoggingApp.h"
#include "platform/EventLoop.h"

class CClientSocket;
class CListenThread;

class CGatewayCore : public CLoggingApp {
public:
    CGatewayCore() = default;
    ~CGatewayCore() override;

    // Run state shared with the host.
    std::atomic<std::int32_t> m_bDebugDump{0};
    std::atomic<std::int32_t> m_bReportShowing{0};
    std::atomic<std::int32_t> m_bStopRequested{0};
    std::atomic<std::int32_t> m_bGatewayDown{0};

    // The listener thread (UI thread only) and the number of live listener-thread objects.
    CListenThread* m_pListenThread = nullptr;
    CLoopPoster m_listenPoster;  // reaches the listener's loop, safely even after it has ended
    std::atomic<std::int32_t> m_nListenThreads{0};

    // Listener-thread state.
    CClientSocket* m_pConnections = nullptr;
    std::atomic<std::int32_t> m_nConnections{0};
    std::atomic<std::int32_t> m_nRejected{0};
    std::atomic<std::int32_t> m_nMailServerStatus{1};
    std::atomic<std::int32_t> m_bConnectionsSwept{0};

    // Screens one client address (four bytes in network order): the number of DNSBL listings.
    int CheckBlacklists(const std::array<std::uint8_t, 4>& address);
    // Appends one line to "Tarnwk.dbg" in the current directory.
    void WriteDebugDump(const std::string& strText);

    CListenThread* StartListenThread();
    void StopListenThread();

    void SendMonitorStatus();
    void SetMailServerStatus(int nValue);
};

inline CGatewayCore& GatewayCore() { return AppAs<CGatewayCore>(); }
