// The application object's gateway share: the counters and run-state flags, the listener thread,
// and the three services the listener's sockets use (screening, the monitors' status lines, the
// mail server's address).
//
// Counters and flags are atomics: the listener thread writes them, the UI thread reads them (and
// sets the few the UI owns). The connections themselves belong to the listener thread
// (CListenThread); the sockets reach this object through the reference they are given.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "gateway/DnsblLookup.h"
#include "gateway/MailServerAddress.h"
#include "gateway/MonitorStatus.h"
#include "logging/LoggingApp.h"
#include "platform/EventLoop.h"

class CListenThread;

class CGatewayCore : public CLoggingApp {
public:
    CGatewayCore();
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

    // Written by the listener thread.
    std::atomic<std::int32_t> m_nConnections{0};
    std::atomic<std::int32_t> m_nRejected{0};
    std::atomic<std::int32_t> m_nMailServerStatus{1};
    std::atomic<std::int32_t> m_bConnectionsSwept{0};

    CDnsblLookup m_screening;
    CMonitorStatus m_monitors;
    CMailServerAddress m_mailServer;

    // Screens one client address: the number of DNSBL listings.
    int CheckBlacklists(const CNetAddress& address) { return m_screening.Check(address); }
    // The same for an IPv4 address as four bytes in network order.
    int CheckBlacklists(const std::array<std::uint8_t, 4>& address);
    // Appends one line to "Tarnwk.dbg" in the current directory.
    void WriteDebugDump(const std::string& strText);

    CListenThread* StartListenThread();
    void StopListenThread();
    // Has a running listener thread take reloaded settings into use (CListenThread::
    // ApplySettings) on its own loop; without one, nothing happens. UI thread.
    void ApplySettingsToListener();
    // Tells a service manager that a reload is over: once a running listener has taken the
    // settings into use (after what ApplySettingsToListener posted), at once without one.
    void NotifyReloadDone();
    // After a load: compiles the screening policy, reports each entry it cannot read, and has a
    // running listener check the zones (CListenThread::CheckZones). UI thread.
    void ScreeningReloaded();

    void SendMonitorStatus() { m_monitors.Send(); }
    // Stores a changed mail-server status and tells the monitors, which belong to the listener:
    // from the UI thread (the configuration test's socket) they are told on the listener's loop.
    void SetMailServerStatus(int nValue);
    // Resolves the MailServer setting now (UI thread), so that no client waits for it.
    void ResolveMailServer() { m_mailServer.Resolve(m_settings.GetMailServer()); }

private:
    // The screening's log: the activity log, and the dump while m_bDebugDump is set.
    class CScreeningLog : public IScreeningLog {
    public:
        explicit CScreeningLog(CGatewayCore& core) : m_core(core) {}
        void LogLine(const std::string& strText) override { m_core.LogLine(strText); }
        bool IsDumping() override { return m_core.m_bDebugDump != 0; }
        void WriteDebugDump(const std::string& strText) override { m_core.WriteDebugDump(strText); }
        void LogActivity(const std::string& strText) override { m_core.LogActivity(strText); }
        void Report(const std::string& strText) override { m_core.ReportError(0, strText); }
        void HealthChanged() override { m_core.RefreshMonitor(); }

    private:
        CGatewayCore& m_core;
    };
    CScreeningLog m_screeningLog{*this};
};

inline CGatewayCore& GatewayCore() { return AppAs<CGatewayCore>(); }
