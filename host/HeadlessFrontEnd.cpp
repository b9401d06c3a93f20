#include "host/HeadlessFrontEnd.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>

#include "host/GatewayApp.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "settings/SettingsStore.h"

namespace {
// The UI thread's waits sleep this long between pumps.
constexpr int kWaitStepMs = 10;

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}
}  // namespace

CHeadlessMonitor::CHeadlessMonitor() {
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    m_fdSignal = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
}

// The signals stay blocked: one more Ctrl-C or SIGTERM while the gateway shuts down changes
// nothing, so a normal shutdown always ends with status 0.
CHeadlessMonitor::~CHeadlessMonitor() {
    if (m_fdSignal >= 0) close(m_fdSignal);
}

std::string CHeadlessMonitor::GetLogText() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_strPane;
}

// The pane grows by one entry per call: its last line is the new entry.
void CHeadlessMonitor::SetLogText(const std::string& strText) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (strText == m_strPane) return;
    m_strPane = strText;
    const size_t nFeed = strText.rfind('\n');
    const std::string strEntry = nFeed == std::string::npos ? strText : strText.substr(nFeed + 1);
    std::fprintf(stdout, "%s\n", strEntry.c_str());
    std::fflush(stdout);
}

void CHeadlessMonitor::ShowWindow() {
    std::fprintf(stderr,
                 "Tarnwick Professional is running here (process %d); a second start was "
                 "turned away.\n",
                 static_cast<int>(getpid()));
    std::fflush(stderr);
}

int CHeadlessMonitor::WaitForSignal(int nTimeoutMs) {
    if (m_fdSignal < 0) {
        usleep(nTimeoutMs * 1000);
        return 0;
    }
    pollfd ready{m_fdSignal, POLLIN, 0};
    if (poll(&ready, 1, nTimeoutMs) <= 0) return 0;
    signalfd_siginfo info{};
    if (read(m_fdSignal, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 0;
    return static_cast<int>(info.ssi_signo);
}

// SIGINT or SIGTERM closes the run as the monitor window's Exit would, without a question.
void CHeadlessMonitor::RunModal() {
    CGatewayApp& app = TheApp();
    while (!app.m_bStopRequested) {
        const int nSignal = WaitForSignal(kWaitStepMs);
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
