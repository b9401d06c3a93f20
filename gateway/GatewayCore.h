// CGatewayCore: the gateway: its counters, the configuration in force, screening, the monitors'
// status lines, and the listener thread that serves clients with them.
//
// Owned by the application object, made on the UI thread, and given the activity log at
// construction. The UI thread publishes configurations (Publish) and starts and stops the
// listener; the listener thread gets what it uses through CGatewayContext, and the two threads
// share nothing mutable but the counters (atomics), the configuration store and the screening's
// own thread-safe parts. Every call into the listener is posted to its loop; nothing here waits
// for the listener but StopListenThread's join, and the listener never waits for the UI; the
// UI-thread operations assert their thread. Two gateways may live in one process, each with its
// own everything.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gateway/CatchCounts.h"
#include "gateway/DnsblLookup.h"
#include "gateway/GatewayConfig.h"
#include "gateway/GatewayContext.h"
#include "gateway/MailServerAddress.h"
#include "gateway/MailServerStatus.h"
#include "gateway/MonitorStatus.h"
#include "logging/ActivityLog.h"
#include "platform/EventLoop.h"
#include "platform/ThreadAffinity.h"

class CListenThread;

// One row of the monitor window's catches list: an active DNSBL entry and its catches.
struct CCatchRow {
    std::string strName;
    std::int32_t nCatches = 0;
    std::optional<EZoneHealth> health;  // with zone checks on
    bool operator==(const CCatchRow&) const = default;
};

class CGatewayCore : public IMailServerStatus {
    // Made first: the screening below writes through it.
    // The screening's log: the activity log, and the dump while m_bDebugDump is set.
    class CScreeningLog : public IScreeningLog {
    public:
        explicit CScreeningLog(CGatewayCore& core) : m_core(core) {}
        void LogLine(const std::string& strText) override { m_core.m_log.LogLine(strText); }
        bool IsDumping() override { return m_core.m_bDebugDump; }
        void WriteDebugDump(const std::string& strText) override { m_core.WriteDebugDump(strText); }
        void LogActivity(const std::string& strText) override { m_core.m_log.LogActivity(strText); }
        void Report(const std::string& strText) override { m_core.m_log.ReportError(0, strText); }
        void HealthChanged() override { m_core.m_log.RefreshMonitor(); }

    private:
        CGatewayCore& m_core;
    };

    CThreadAffinity m_owner;  // the UI thread, which publishes and starts and stops the listener
    CActivityLog& m_log;
    CScreeningLog m_screeningLog{*this};

public:
    explicit CGatewayCore(CActivityLog& log);
    // Stops the listener thread while everything it uses still stands.
    ~CGatewayCore() override;
    CGatewayCore(const CGatewayCore&) = delete;
    CGatewayCore& operator=(const CGatewayCore&) = delete;

    CGatewayCounters m_counters;
    CDnsblLookup m_screening;
    CMonitorStatus m_monitors;
    // DNSBL lookups are traced to the debug dump. Set before the listener starts.
    bool m_bDebugDump = false;

    // Builds the configuration of these settings and publishes it whole: compiles the screening
    // policy, resolves the mail server's name (here, so that no client waits for it), and points
    // the activity log at its file. bNewLoad (a load of the settings, not an edit of loaded
    // ones): the catch counts start again, a running listener checks the zones, and the result
    // is a report text for each entry that cannot be read (none for an edit). UI thread.
    std::vector<std::string> Publish(const Settings& settings, bool bNewLoad);
    ConfigPtr CurrentConfig() const { return m_config.Current(); }

    // Starts the listener thread with the configuration in force: 0, or the error code of the
    // listening socket it could not open (the thread then runs on without one until stopped).
    // UI thread, as the three below.
    int StartListenThread();
    void StopListenThread();
    bool HasListenThread() const { return m_pListenThread != nullptr; }
    // Has a running listener take a reloaded configuration into use (CListenThread::
    // ApplySettings) on its own loop; without one, nothing happens.
    void ApplySettingsToListener();
    // Tells a service manager that a reload is over: once a running listener has taken the
    // configuration into use (after what ApplySettingsToListener posted), at once without one.
    void NotifyReloadDone();
    // Posts fn to the listener's loop: false when there is no listener.
    bool PostToListener(std::function<void()> fn) const {
        return m_listenPoster.Post(std::move(fn));
    }
    // The running listener, for what only its own thread may do (tests post there).
    CListenThread* ListenThread() const { return m_pListenThread.get(); }
    // What the listener's objects are given: for another listening socket on its thread.
    CGatewayContext& Context() { return m_context; }

    // Screens one client address with the configuration in force: the number of listings.
    int CheckBlacklists(const CNetAddress& address);
    int CheckBlacklists(const std::array<std::uint8_t, 4>& address);
    // Appends one line to "Tarnwk.dbg" in the current directory.
    void WriteDebugDump(const std::string& strText);
    // The configuration test's connect outcome (UI thread): stored, and the monitors, which
    // belong to the listener, told on its loop.
    void SetMailServerStatus(int nValue) override;
    // The active DNSBL entries of the configuration in force, from the head, with their catches.
    std::vector<CCatchRow> CatchRows() const;

private:
    CConfigStore m_config;
    CMailServerAddress m_mailServer;
    std::shared_ptr<CCatchCounts> m_pCatches;  // of the last load
    CGatewayContext m_context;
    std::unique_ptr<CListenThread> m_pListenThread;
    CLoopPoster m_listenPoster;  // reaches the listener's loop, safely even after it has ended
};
