// The front end without a display: no windows, no icon, no dialog.
//
// The monitor window's stand-in keeps the log pane's text and prints each new entry to standard
// output; its modal run waits, pumping the UI thread, until SIGINT or SIGTERM arrives (taken
// through a signalfd, never in a handler) or the gateway must stop; SIGHUP meanwhile reloads the
// settings (CGatewayApp::ReloadSettings). The three are blocked from the moment the monitor
// object is made, before the listener thread exists, so that thread inherits the block and the
// signals wait for the UI thread; they stay blocked through the shutdown. The configuration
// dialog says on standard error how to configure without it and counts as cancelled.
//
// Made and used on the UI thread; the log pane may be read and written from either thread.
#pragma once

#include <signal.h>

#include <mutex>
#include <string>

#include "host/FrontEnd.h"

class CHeadlessMonitor : public IMonitorWindow {
public:
    CHeadlessMonitor();
    ~CHeadlessMonitor() override;

    void Refresh() override {}
    std::string GetLogText() override;
    void SetLogText(const std::string& strText) override;
    void ScrollLogToEnd() override {}

    void RunModal() override;
    void Activate() override {}
    void ShowWindow() override;

private:
    // The signal taken within nTimeoutMs, or 0.
    int WaitForSignal(int nTimeoutMs);

    std::mutex m_lock;
    std::string m_strPane;
    int m_fdSignal = -1;
};

class CHeadlessFrontEnd : public IFrontEnd {
public:
    std::unique_ptr<IMonitorWindow> CreateMonitorWindow() override;
    void CreateControlWindow() override {}
    void UpdateTrayIcon(int /*nAction*/) override {}
    bool RunConfigDialog() override;
};
