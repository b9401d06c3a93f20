// CGatewayApp: the one application object of a gateway run.
//
// It owns each part of the run and hands every part what it uses at construction: the
// framework part (platform/WinApp.h: the main window, the UI thread), the activity log and error
// reports (m_log, logging/ActivityLog.h), the settings record the load fills and the
// configuration dialog edits (m_settings, UI thread only), and the gateway (m_gateway,
// gateway/GatewayCore.h: counters, the published configuration, screening, the listener
// thread). The host's start-up, foreground run and reconfiguration are here. Made by
// RunGateway (host/ProgramStart.h) on the UI thread, which then calls InitInstance: the whole
// life of the process; nothing reaches it through a global, so tests may make several. The
// desktop is reached only through the front end it is given (host/FrontEnd.h). Every operation
// here runs on the UI thread. Failures are reported through ReportError; ExitCode tells the
// process's status: non-zero when the gateway could not serve.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gateway/GatewayCore.h"
#include "host/FrontEnd.h"
#include "logging/ActivityLog.h"
#include "platform/EventLoop.h"
#include "platform/InstanceChannel.h"
#include "platform/WinApp.h"
#include "settings/SettingsStore.h"

class CGatewayApp : public CWinApp {
public:
    // The title a second instance looks for.
    static constexpr const char* kTitle = "Tarnwick Professional";

    CGatewayApp();
    // Stops the listener thread while the object is still whole.
    ~CGatewayApp() override;

    CActivityLog m_log{*this};
    // The record the load fills and the configuration dialog's edits come back to; what the
    // listener uses is the configuration published from it (PublishSettings).
    Settings m_settings;
    CGatewayCore m_gateway{m_log};

    // Run state, UI thread only.
    std::int32_t m_bGatewayElsewhere = 0;
    std::int32_t m_bConfigAtStart = 0;
    std::int32_t m_bStopRequested = 0;  // the listening socket failed: the run must end
    std::int32_t m_bGatewayDown = 0;    // the gateway is not serving: leaving asks nothing

    void SetFrontEnd(IFrontEnd* pFrontEnd) { m_pFrontEnd = pFrontEnd; }
    IFrontEnd& FrontEnd() const { return *m_pFrontEnd; }
    void SetCommandLine(int argc, const char* const* argv);

    // Start-up: settings, switches, hand-off on NT, single-instance test, configuration at
    // first run, then the foreground run. Always false: the process ends when it returns.
    bool InitInstance();
    // The foreground run until the monitor window closes, then the shutdown.
    void RunGateway();
    // The configuration dialog; on OK the settings are saved and reloaded (not reloaded when the
    // save failed), and with bApply a process started without its listener (DEBUG) starts one.
    // While the dialog is open (a Configure from the tray during one from the monitor window),
    // another Configure brings it to the front instead of opening a second one.
    void Configure(bool bApply);
    // A reload on request (SIGHUP): the settings are read again as after the dialog's OK and
    // taken into use by the running listener (a changed PortIn or metrics endpoint re-opened,
    // every connection going on), then "Settings Reloaded" is logged. A load that fails is
    // reported and changes nothing. One asked for while the dialog runs is done once it closes.
    // A service manager hears RELOADING=1 before and READY=1 after it, also after a failed one.
    // False when it failed or waits.
    bool ReloadSettings();
    // A signal the front end took from its CStopSignals (0: none): SIGHUP reloads the settings;
    // true for SIGINT or SIGTERM, which end the run.
    bool TakeSignal(int nSignal);

    // The settings storage, reporting through ReportError; a missing key sets m_bConfigAtStart.
    // A load publishes what it read (and, failing with ClearLists, the emptied lists).
    // SaveSettings is false when the settings key could not be written.
    bool LoadSettings(LoadFailure onFailure = LoadFailure::ClearLists);
    bool SaveSettings();
    // Publishes m_settings as the configuration in force. bNewLoad: it was just loaded (catch
    // counts start again; the result names the entries that cannot be read, for the caller to
    // report); otherwise it is an edit of the loaded settings (the dialog's).
    std::vector<std::string> PublishSettings(bool bNewLoad);
    // The configuration dialog's edit that takes effect at once: it becomes the record, and is
    // published.
    void TakeEditedSettings(const Settings& settings);

    // The listener thread, as the gateway runs it; a listening socket that cannot be made is
    // reported and ends the run.
    void StartListenThread();
    void StopListenThread() { m_gateway.StopListenThread(); }

    // The log and reports, as every part of the run uses them (m_log).
    void LogLine(const std::string& strText) { m_log.LogLine(strText); }
    void LogActivity(const std::string& strText) { m_log.LogActivity(strText); }
    void ReportError(int nCode, const std::string& strText) { m_log.ReportError(nCode, strText); }
    void RefreshMonitor() { m_log.RefreshMonitor(); }

    int ExitCode() const { return m_nExitCode; }

private:
    bool StartSocketLayer();
    void HandOffToCompanion(const std::string& strParams);
    bool FindRunningInstance();
    void CreateControlWindow();
    void OnInstanceMessage(const std::string& strLine);

    IFrontEnd* m_pFrontEnd = nullptr;
    std::vector<std::string> m_args;
    std::unique_ptr<CEventLoop> m_pUiLoop;
    std::unique_ptr<CInstanceChannel> m_pInstanceChannel;
    IMonitorWindow* m_pMonitor = nullptr;
    bool m_bConfigOpen = false;
    int m_nExitCode = 0;
    bool m_bReloadPending = false;  // a reload waits for the configuration dialog to close
};
