// The front end without a display: no windows, no icon, no dialog.
//
// The monitor window's stand-in keeps the log pane's text and prints each entry appended to it
// on standard output, one line each, in the order they came. Standard output is written on the
// UI thread, without ever waiting for its reader (CConsoleOutput): an entry from another thread
// (the listener) is queued at once and printed with the others that came within kPrintMs, so
// the listener never waits for the UI thread nor for whoever reads standard output. Its modal
// run sleeps on the UI thread's loop until SIGINT or SIGTERM arrives (caught from the moment
// the monitor object is made, and taken on the UI thread, never worked on in a handler:
// platform/StopSignals.h) or EndRun is called (the gateway went down); SIGHUP meanwhile reloads
// the settings (CGatewayApp::ReloadSettings). More of them later, during the
// shutdown, change nothing. The configuration dialog says on standard error how to configure
// without it and counts as cancelled.
//
// Made and used on the UI thread; the log pane may be read and written from either thread.
#pragma once

#include <mutex>
#include <string>

#include "host/FrontEnd.h"
#include "platform/CoalescedTask.h"
#include "platform/EventLoop.h"
#include "platform/StopSignals.h"

class CHeadlessMonitor : public IMonitorWindow {
public:
    static constexpr int kPrintMs = 250;
    // How long the end of the run waits for standard output to take the last lines.
    static constexpr int kLastPrintMs = 1000;

    explicit CHeadlessMonitor(CGatewayApp& app);
    ~CHeadlessMonitor() override;

    void Refresh() override {}
    std::string GetLogText() override { return m_pane.Text(); }
    void AppendLogText(const std::string& strText, size_t nMaxText) override;

    void RunModal() override;
    void EndRun() override;
    void Activate() override {}
    void ShowWindow() override;

private:
    // Prints what waits; true when standard output took not all of it.
    bool Print();
    CGatewayApp& m_app;
    std::mutex m_appendLock;  // the pane and the queued lines take an entry in one step
    CLogPane m_pane;
    CCoalescedTask m_print;
    CStopSignals m_signals;
    CEventLoop* m_pLoop = nullptr;  // the UI thread's, while the run goes on
    bool m_bEnding = false;
};

class CHeadlessFrontEnd : public IFrontEnd {
public:
    std::unique_ptr<IMonitorWindow> CreateMonitorWindow(CGatewayApp& app) override;
    void CreateControlWindow(CGatewayApp& /*app*/) override {}
    void UpdateTrayIcon(int /*nAction*/) override {}
    bool RunConfigDialog(CGatewayApp& app) override;
};
