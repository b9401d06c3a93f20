// CMonitorDlg: the monitor window (template 102, menu 130), the program's main window during the
// foreground run: the connection counters, the mail-server banner, the catches of each active
// DNSBL server, the log pane, the menu (Exit, Tools > Configure, About > About), and the
// half-second timer that hides the window at first and refreshes the tray icon once.
//
// RunGateway owns it, giving it the application object; it is made, run and destroyed on the UI
// thread. The counters, the banner and the catches list follow every Refresh (the listener asks
// for one after each verdict and each sweep of finished connections); the catches list is built
// again only when one of its rows changed, so a selection in it stays. RunModal shows it and runs
// its own event loop until the exit path ends it: Escape, the close box, the menu's Exit and the
// tray's Exit (Close) all reach OnCancel and OnOK, which asks before leaving unless this process
// hosts no listener (DEBUG) or the gateway is down; EndRun, also for SIGINT and SIGTERM (caught
// while the window exists, taken on the UI thread's loop), leaves without a question; SIGHUP
// taken the same way reloads the settings (CGatewayApp::ReloadSettings). When the run
// ends, whatever stands open over it (a dialog, a box, a menu) is closed as Cancel would, so that
// the run returns at once.
//
// The window hides itself on its first tick and when minimised, but only while the tray icon
// stands in a notification area, from which it can be shown again. Refresh, GetLogText and
// AppendLogText may be called from either thread and never wait: called on the UI thread they
// show their change at once; from another thread (the listener) the pane's text takes the entry
// at once, and the widget and the counters follow on the UI thread at most every kUpdateMs,
// every entry in order. The pane's text is kept byte for byte (CR LF counted, as the 10240-byte
// limit counts it); the pane widget shows it without the CRs. The window reports nothing of its
// own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gateway/GatewayCore.h"
#include "host/FrontEnd.h"
#include "platform/CoalescedTask.h"
#include "platform/EventLoop.h"
#include "platform/StopSignals.h"
#include "ui/Dialog.h"

class QLabel;
class QPlainTextEdit;
class CColorEdit;
class CListCtrl;

class CMonitorDlg : public CDialog, public IMonitorWindow {
public:
    static constexpr int kTickMs = 500;
    // At most this often the widget and counters follow what other threads changed.
    static constexpr int kUpdateMs = 250;
    // The system command of the About entry; 16 to 31 all open the About box.
    static constexpr int IDM_ABOUTBOX = 0x0010;

    explicit CMonitorDlg(CGatewayApp& app);
    ~CMonitorDlg() override;

    std::int32_t m_bIconRefreshPending = 1;
    std::int32_t m_bHidePending = 1;
    int m_nTimer = 0;
    CColorEdit* m_ctlServerError = nullptr;
    QLabel* m_ctlAccepted = nullptr;
    CListCtrl* m_ctlCatches = nullptr;
    QLabel* m_ctlRejected = nullptr;
    QLabel* m_ctlReceived = nullptr;
    QPlainTextEdit* m_ctlLog = nullptr;
    QIcon m_hIcon;

    // IMonitorWindow.
    void Refresh() override;
    std::string GetLogText() override;
    void AppendLogText(const std::string& strText, size_t nMaxText) override;
    void RunModal() override;
    void Activate() override;
    void ShowWindow() override;

    // The control window's Exit: handled as the window's own close request.
    void Close() { OnCancel(); }
    // Ends the run without a question.
    void EndRun() override;
    bool IsRunning() const { return m_bRunning; }

    void OnTimer();
    void OnSysCommand(int nId);
    void OnConfigure();

protected:
    void DoDataExchange() override;
    bool OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override { OnOK(); }
    void OnCommand(int nCommand) override;
    QWidget* CreateControl(const CControlTemplate& control) override;
    void changeEvent(QEvent* pEvent) override;
    void timerEvent(QTimerEvent* pEvent) override;

private:
    void RefreshOnUiThread();
    void ShowCatches(std::vector<CCatchRow> rows);
    // Shows in the widget what the pane's text gained and lost since the last time.
    void ShowPaneChanges(bool bWhole = false);
    // Hiding is only for a window the tray icon can bring back.
    bool MayHide() const;

    CGatewayApp& m_app;
    CLogPane m_pane;
    std::vector<CCatchRow> m_shownCatches;
    bool m_bCatchesShown = false;
    std::atomic<bool> m_bRefreshPending{false};
    CCoalescedTask m_update;
    bool m_bRunning = false;
    CStopSignals m_signals;
    CEventLoop::WatchId m_nSignalWatch = 0;
};

// Closes what stands open over pWindow (popup menus, modal dialogs and boxes, the newest
// first), each as Cancel would and without its question. UI thread.
void CloseWindowsAbove(QWidget* pWindow);
