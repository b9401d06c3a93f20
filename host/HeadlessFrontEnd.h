// The front end without a display: no windows, no icon, no dialog.
//
// The monitor window's stand-in keeps the log pane's text and prints each entry appended to it
// on standard output, one line each; its modal run waits, pumping the UI thread, until SIGINT or
// SIGTERM arrives (caught from the moment the monitor object is made, and taken on the UI
// thread, never worked on in a handler: platform/StopSignals.h) or the gateway must stop;
// SIGHUP meanwhile reloads the settings (CGatewayApp::ReloadSettings). More of them later,
// during the shutdown, change nothing. The configuration dialog says on
// standard error how to configure without it and counts as cancelled.
//
// Made and used on the UI thread; the log pane may be read and written from either thread.
#pragma once

#include <mutex>
#include <string>

#include "host/FrontEnd.h"
#include "platform/StopSignals.h"

class CHeadlessMonitor : public IMonitorWindow {
public:
    void Refresh() override {}
    std::string GetLogText() override;
    void AppendLogText(const std::string& strText, size_t nMaxText) override;

    void RunModal() override;
    void Activate() override {}
    void ShowWindow() override;

private:
    std::mutex m_lock;
    std::string m_strPane;
    CStopSignals m_signals;
};

class CHeadlessFrontEnd : public IFrontEnd {
public:
    std::unique_ptr<IMonitorWindow> CreateMonitorWindow() override;
    void CreateControlWindow() override {}
    void UpdateTrayIcon(int /*nAction*/) override {}
    bool RunConfigDialog() override;
};
