#include "host/HeadlessFrontEnd.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "host/GatewayApp.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "settings/SettingsStore.h"

namespace {
// The UI thread's waits sleep this long between pumps.
constexpr int kWaitStepMs = 10;

// What the terminal shows of an appended text: its line, without the CR LF that separates the
// pane's entries.
std::string PrintedLine(const std::string& strText) {
    size_t nBegin = strText.rfind("\r\n", 0) == 0 ? 2 : 0;
    size_t nEnd = strText.size();
    while (nEnd > nBegin && (strText[nEnd - 1] == '\n' || strText[nEnd - 1] == '\r')) --nEnd;
    return strText.substr(nBegin, nEnd - nBegin);
}
}  // namespace

std::string CHeadlessMonitor::GetLogText() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_strPane;
}

// Every append is printed, also one identical to the entry before it.
void CHeadlessMonitor::AppendLogText(const std::string& strText, size_t nMaxText) {
    std::lock_guard<std::mutex> guard(m_lock);
    AppendToPane(m_strPane, strText, nMaxText);
    std::fprintf(stdout, "%s\n", PrintedLine(strText).c_str());
    std::fflush(stdout);
}

void CHeadlessMonitor::ShowWindow() {
    std::fprintf(stderr,
                 "Tarnwick Professional is running here (process %d); a second start was "
                 "turned away.\n",
                 static_cast<int>(getpid()));
    std::fflush(stderr);
}

// SIGINT or SIGTERM closes the run as the monitor window's Exit would, without a question;
// SIGHUP reloads the settings.
void CHeadlessMonitor::RunModal() {
    CGatewayApp& app = TheApp();
    while (!app.m_bStopRequested) {
        const int nSignal = m_signals.Wait(kWaitStepMs);
        if (nSignal == SIGHUP)
            app.ReloadSettings();
        else if (nSignal != 0)
            return;
        app.PumpMessages();
    }
}

std::unique_ptr<IMonitorWindow> CHeadlessFrontEnd::CreateMonitorWindow() {
    return std::make_unique<CHeadlessMonitor>();
}

bool CHeadlessFrontEnd::RunConfigDialog() {
    const std::string strHive = RegistryHivePath();
    const std::string strFile = CurrentDirectory() + "/" + kSettingsFileName;
    std::fprintf(stderr,
                 "Tarnwick: the configuration dialog needs a desktop (DISPLAY or WAYLAND_DISPLAY, "
                 "without TARNWICK_HEADLESS=1).\n"
                 "To configure without it, edit the key [HKEY_LOCAL_MACHINE\\%s] in the registry "
                 "hive %s,\n"
                 "or, while the hive has no such key, the settings file %s (see the README).\n",
                 kSettingsKeyPath, strHive.c_str(), strFile.c_str());
    std::fflush(stderr);
    return false;
}
