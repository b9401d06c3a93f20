// CLoggingApp::LogLine and LogActivity: the activity log file and the log pane.
#include <cstdio>

#include "logging/LoggingApp.h"
#include "platform/System.h"

namespace {
constexpr const char* kDefaultLogName = "Tarnwk.Log";

// The current log file name; an empty one becomes the default and is kept in the settings.
std::string LogFileNameForWriting(Settings& settings) {
    std::lock_guard<std::recursive_mutex> guard(settings.m_lock);
    if (settings.LogFileName.empty()) settings.LogFileName = kDefaultLogName;
    return settings.LogFileName;
}

FILE* OpenForAppend(const std::string& strPath) {
    FILE* pFile = std::fopen(strPath.c_str(), "rb+");
    if (pFile == nullptr) pFile = std::fopen(strPath.c_str(), "wb+");
    return pFile;
}
}  // namespace

void CLoggingApp::LogLine(const std::string& strText) {
    if (m_settings.EnableLogging == 0) return;
    std::lock_guard<std::mutex> guard(m_logLock);
    FILE* pFile = OpenForAppend(LogFileNameForWriting(m_settings));
    if (pFile == nullptr) return;
    std::fseek(pFile, 0, SEEK_END);
    const std::string strLine = LogStamp() + " : " + strText + "\r\n";
    std::fwrite(strLine.data(), 1, strLine.size(), pFile);
    std::fclose(pFile);
}

void CLoggingApp::LogActivity(const std::string& strText) {
    LogLine(strText);
    const std::string strEntry = LogStamp() + " : " + strText;
    IMainWindow* pMain = m_pMainWnd.load();
    const std::string strPane = AppendPaneEntry(pMain ? pMain->GetLogText() : "", strEntry);
    if (pMain == nullptr) return;
    pMain->SetLogText(strPane);
    pMain->ScrollLogToEnd();
}

void CLoggingApp::RefreshMonitor() {
    if (IMainWindow* pMain = m_pMainWnd.load()) pMain->Refresh();
}

std::string AppendPaneEntry(std::string strPane, const std::string& strEntry) {
    strPane += "\r\n";
    strPane += strEntry;
    while (strPane.size() > CLoggingApp::kMaxPaneText) {
        const size_t nFeed = strPane.find('\n');
        if (nFeed == std::string::npos) break;
        strPane.erase(0, nFeed + 1);
    }
    return strPane;
}
