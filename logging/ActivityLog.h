// CActivityLog: the activity log (file and log pane), the one error-report operation, and the
// monitor refresh.
//
// Owned by the application object, which hands it by reference to every part that logs, on
// either thread. The log file follows the published settings (SetLogFile, from the UI thread
// whenever a configuration is published). LogLine and ReportError may be called on either
// thread; LogLine calls run one at a time, so a line's stamp and text always stand together.
// ReportError on the UI thread returns once its box has been answered; on another thread it logs
// at once and leaves the box open behind it (IMessageBoxService::Notify), so that the listener
// never waits for a person. LogActivity and RefreshMonitor may be called on either thread too
// and never wait for the UI thread (see platform/MainWindow.h). Nothing here reports a failure
// of its own: a log file that cannot be written loses the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/WinApp.h"

class CActivityLog {
public:
    static constexpr size_t kMaxPaneText = 10240;
    // The activity log while LogFileName is empty, in the working folder.
    static constexpr const char* kDefaultLogName = "Tarnwk.Log";

    // The main window and the UI thread are the application's.
    explicit CActivityLog(const CWinApp& app) : m_app(app) {}
    CActivityLog(const CActivityLog&) = delete;
    CActivityLog& operator=(const CActivityLog&) = delete;

    // The platform family: set once at start-up, before the listener thread exists.
    std::int32_t m_bIsNT = 0;

    // Where LogLine writes: nothing while bEnabled is false; an empty path is kDefaultLogName.
    void SetLogFile(bool bEnabled, const std::string& strPath);
    // Appends "<stamp> : <text>\r\n" to the log file while logging is on.
    void LogLine(const std::string& strText);
    // LogLine, then the same entry (stamped afresh) at the end of the log pane.
    void LogActivity(const std::string& strText);
    // Composes the message, writes the event record (NT), shows it captioned "Error", logs it;
    // onDismissed runs once the box has been answered (on the UI thread).
    void ReportError(int nCode, const std::string& strText, std::function<void()> onDismissed = {});
    // Asks the monitor window, when there is one, to redraw its counters.
    void RefreshMonitor();
    // The main window while there is one (any thread; see platform/MainWindow.h).
    IMainWindow* MainWindow() const { return m_app.m_pMainWnd.load(); }

    // The message ReportError shows for a code and text on this platform family.
    std::string ComposeErrorMessage(int nCode, const std::string& strText) const;

private:
    const CWinApp& m_app;
    std::mutex m_logLock;  // the file's settings below, and one line at a time
    bool m_bEnabled = false;
    std::string m_strPath;
};
