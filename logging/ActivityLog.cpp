// CActivityLog::LogLine and LogActivity: the activity log file and the log pane.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "logging/ActivityLog.h"
#include "platform/System.h"

namespace {
// Appends the bytes to the file, creating it when missing. Opened for appending only, so a log
// that may be written but not read still receives its lines (opening it for reading and writing
// fails there), nothing ever truncates it, and each line lands whole at the end of the file
// even when another process appends to it too.
void AppendToFile(const std::string& strPath, const std::string& strBytes) {
    const int fd = open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;
    size_t nDone = 0;
    while (nDone < strBytes.size()) {
        const ssize_t n = write(fd, strBytes.data() + nDone, strBytes.size() - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // a full disk loses the rest of the line, silently
        nDone += static_cast<size_t>(n);
    }
    close(fd);
}
}  // namespace

// The whole line goes out in one append, so a line's stamp and text always stand together in
// the file; the lock keeps the two threads' lines from interleaving within this process.
void CActivityLog::LogLine(const std::string& strText) {
    std::lock_guard<std::mutex> guard(m_logLock);
    if (!m_bEnabled) return;
    AppendToFile(m_strPath.empty() ? kDefaultLogName : m_strPath,
                 LogStamp() + " : " + strText + "\r\n");
}

void CActivityLog::SetLogFile(bool bEnabled, const std::string& strPath) {
    std::lock_guard<std::mutex> guard(m_logLock);
    m_bEnabled = bEnabled;
    m_strPath = strPath;
}

// The entry goes to the pane in one step, preceded by CR LF, and whole oldest entries leave it
// past kMaxPaneText: a read of the pane followed by a write could lose another thread's entry.
void CActivityLog::LogActivity(const std::string& strText) {
    LogLine(strText);
    const std::string strEntry = LogStamp() + " : " + strText;
    if (IMainWindow* pMain = MainWindow()) pMain->AppendLogText("\r\n" + strEntry, kMaxPaneText);
}

void CActivityLog::RefreshMonitor() {
    if (IMainWindow* pMain = MainWindow()) pMain->Refresh();
}
