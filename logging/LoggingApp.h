// The application object's logging share: the settings record it logs by, the platform family,
// the activity log (file and log pane), the one error-report operation, and the monitor refresh.
//
// LogLine and ReportError may be called on either thread; LogLine calls run one at a time, so a
// line's stamp and text always stand together. ReportError on the UI thread returns once its
// box has been answered; on another thread it logs at once and leaves the box open behind it
// (IMessageBoxService::Notify), so that the listener never waits for a person. LogActivity and
// RefreshMonitor may be called on either thread too and never wait for the UI thread (see
// platform/MainWindow.h). Nothing here reports a failure of its own: a log file that cannot be
// written loses the line.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/WinApp.h"
#include "settings/Settings.h"

class CLoggingApp : public CWinApp {
public:
    static constexpr size_t kMaxPaneText = 10240;
    // The activity log while LogFileName is empty, in the working folder.
    static constexpr const char* kDefaultLogName = "Tarnwk.Log";

    Settings m_settings;
    std::atomic<std::int32_t> m_bIsNT{0};

    // Appends "<stamp> : <text>\r\n" to LogFileName while EnableLogging is on.
    void LogLine(const std::string& strText);
    // LogLine, then the same entry (stamped afresh) at the end of the log pane.
    void LogActivity(const std::string& strText);
    // Composes the message, writes the event record (NT), shows it captioned "Error", logs it;
    // onDismissed runs once the box has been answered (on the UI thread).
    void ReportError(int nCode, const std::string& strText, std::function<void()> onDismissed = {});
    // Asks the monitor window, when there is one, to redraw its counters.
    void RefreshMonitor();

    // The message ReportError shows for a code and text on this platform family.
    std::string ComposeErrorMessage(int nCode, const std::string& strText) const;

private:
    std::mutex m_logLock;
};

inline CLoggingApp& LoggingApp() { return AppAs<CLoggingApp>(); }
