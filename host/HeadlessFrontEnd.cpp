#include "host/HeadlessFrontEnd.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "host/GatewayApp.h"
#include "platform/ConsoleOutput.h"
#include "platform/JournalStream.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "settings/SettingsStore.h"

namespace {
// What the terminal shows of an appended text: its line, without the CR LF that separates the
// pane's entries.
std::string PrintedLine(const std::string& strText) {
    size_t nBegin = strText.rfind("\r\n", 0) == 0 ? 2 : 0;
    size_t nEnd = strText.size();
    while (nEnd > nBegin && (strText[nEnd - 1] == '\n' || strText[nEnd - 1] == '\r')) --nEnd;
    return strText.substr(nBegin, nEnd - nBegin);
}
}  // namespace

// Standard output and standard error get their descriptors now, while there are descriptors to
// be had.
CHeadlessMonitor::CHeadlessMonitor(CGatewayApp& app)
    : m_app(app), m_print(kPrintMs, [this] { return Print(); }) {
    CConsoleOutput::Out();
    CConsoleOutput::Err();
}

// What is still queued goes out, waiting a moment at most for a reader that has fallen behind:
// the run is over, and nothing is left to hold up.
CHeadlessMonitor::~CHeadlessMonitor() { CConsoleOutput::Out().Drain(kLastPrintMs); }

// Every append is printed, also one identical to the entry before it. The pane's text and the
// queued line are one step, so the printed order is the pane's order.
void CHeadlessMonitor::AppendLogText(const std::string& strText, size_t nMaxText) {
    {
        std::lock_guard<std::mutex> guard(m_appendLock);
        m_pane.Append(strText, nMaxText);
        CConsoleOutput::Out().Append(
            JournalLines(STDOUT_FILENO, kJournalInfo, PrintedLine(strText) + "\n"));
    }
    if (m_app.IsUiThread())
        m_print.RunNow();
    else
        m_print.Request();
}

bool CHeadlessMonitor::Print() { return CConsoleOutput::Out().Flush(); }

void CHeadlessMonitor::ShowWindow() {
    std::fprintf(stderr,
                 "Tarnwick Professional is running here (process %d); a second start was "
                 "turned away.\n",
                 static_cast<int>(getpid()));
    std::fflush(stderr);
}

// SIGINT or SIGTERM closes the run as the monitor window's Exit would, without a question;
// SIGHUP reloads the settings. The thread sleeps on its loop meanwhile, woken by a signal or a
// call handed to it. A run ended before it began, or without a loop or a signal pipe (nothing
// could end it then), ends at once.
void CHeadlessMonitor::RunModal() {
    m_app.AssertUiThread("CHeadlessMonitor::RunModal");
    m_pLoop = CEventLoop::ForThisThread();
    if (m_bEnding || m_pLoop == nullptr || m_signals.Fd() < 0) return;
    auto takeSignal = [this](std::uint32_t) {
        if (m_app.TakeSignal(m_signals.Take())) EndRun();
    };
    const CEventLoop::WatchId nWatch = m_pLoop->Watch(m_signals.Fd(), EPOLLIN, takeSignal);
    m_pLoop->Run();
    m_pLoop->Unwatch(nWatch);
    m_pLoop = nullptr;
}

void CHeadlessMonitor::EndRun() {
    if (m_pLoop != nullptr && !m_bEnding) m_pLoop->PostQuit();
    m_bEnding = true;
}

std::unique_ptr<IMonitorWindow> CHeadlessFrontEnd::CreateMonitorWindow(CGatewayApp& app) {
    return std::make_unique<CHeadlessMonitor>(app);
}

bool CHeadlessFrontEnd::RunConfigDialog(CGatewayApp&) {
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
