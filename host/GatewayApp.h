// CGatewayApp: the one application object of the process.
//
// Its fields and operations come in layers, each in its subsystem's folder: the framework part
// (platform/WinApp.h: main window, PumpMessages), logging (logging/LoggingApp.h: settings
// record, platform family, LogLine, LogActivity, ReportError, RefreshMonitor), the gateway
// (gateway/GatewayCore.h: counters, connections, listener thread, CheckBlacklists, monitor
// status), and here the host's start-up, foreground run and reconfiguration. Constructed once
// by main() on the UI thread, which then calls InitInstance: the whole life of the process.
// Reached everywhere through AfxGetApp() (TheApp() here). The desktop is reached only through
// the front end main() hands over (host/FrontEnd.h). Failures are reported through ReportError;
// ExitCode tells the process's status: non-zero when the gateway could not serve.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gateway/GatewayCore.h"
#include "host/FrontEnd.h"
#include "platform/EventLoop.h"
#include "platform/InstanceChannel.h"
#include "settings/SettingsStore.h"

class CGatewayApp : public CGatewayCore {
public:
    // The title a second instance looks for.
    static constexpr const char* kTitle = "Tarnwick Professional";

    CGatewayApp();
    // Stops the listener thread while the object is still whole: that thread reaches the
    // application through TheApp() until it has gone.
    ~CGatewayApp() override;

    std::atomic<std::int32_t> m_bGatewayElsewhere{0};
    std::atomic<std::int32_t> m_bConfigAtStart{0};

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
    // another Configure brings it to the front instead of opening a second one on the same
    // lists.
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
    // SaveSettings is false when the settings key could not be written.
    bool LoadSettings(LoadFailure onFailure = LoadFailure::ClearLists);
    bool SaveSettings();

    int ExitCode() const { return m_nExitCode; }

private:
    bool StartSocketLayer();
    void HandOffToCompanion(const std::string& strParams);
    bool FindRunningInstance();
    void CreateControlWindow();
    void OnInstanceMessage(const std::string& strLine);
    // Pumps while the listener shows a report that holds the shutdown back.
    void WaitWhileReportShowing();

    IFrontEnd* m_pFrontEnd = nullptr;
    std::vector<std::string> m_args;
    std::unique_ptr<CEventLoop> m_pUiLoop;
    std::unique_ptr<CInstanceChannel> m_pInstanceChannel;
    IMonitorWindow* m_pMonitor = nullptr;
    bool m_bConfigOpen = false;
    int m_nExitCode = 0;
    bool m_bReloadPending = false;  // a reload waits for the configuration dialog to close
};

inline CGatewayApp& TheApp() { return AppAs<CGatewayApp>(); }
