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
// The UI thread's waits sleep this long between pumps, where it has no loop to sleep on.
constexpr int kWaitStepMs = 10;

// What the terminal shows of an appended text: its line, without the CR LF that separates the
// pane's entries.
std::string PrintedLine(const std::string& strText) {
    size_t nBegin = strText.rfind("\r\n", 0) == 0 ? 2 : 0;
    size_t nEnd = strText.size();
    while (nEnd > nBegin && (strText[nEnd - 1] == '\n' || strText[nEnd - 1] == '\r')) --nEnd;
    return strText.substr(nBegin, nEnd - nBegin);
}

bool OnUiThread() { return TheApp().IsUiThread(); }
}  // namespace

// Standard output and standard error get their descriptors now, while there are descriptors to
// be had.
CHeadlessMonitor::CHeadlessMonitor() : m_print(kPrintMs, [this] { return Print(); }) {
    CConsoleOutput::Out();
    CConsoleOutput::Err();
    m_tick.Prepare();
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
    if (OnUiThread())
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
// SIGHUP reloads the settings. The thread sleeps on its loop meanwhile, woken by a signal, a
// call handed to it, or its tick.
void CHeadlessMonitor::RunModal() {
    CGatewayApp& app = TheApp();
    CEventLoop* pLoop = CEventLoop::ForThisThread();
    if (pLoop == nullptr || m_signals.Fd() < 0) return WaitWithoutLoop();
    bool bEnding = false;
    auto end = [&] {
        if (!bEnding) pLoop->PostQuit();
        bEnding = true;
    };
    auto takeSignal = [&](std::uint32_t) {
        if (app.TakeSignal(m_signals.Take())) end();
    };
    const CEventLoop::WatchId nWatch = pLoop->Watch(m_signals.Fd(), EPOLLIN, takeSignal);
    std::function<void()> onTick = [&] {
        if (app.m_bStopRequested)
            end();
        else
            m_tick.Start(kTickMs, onTick);
    };
    onTick();
    pLoop->Run();
    m_tick.Stop();
    pLoop->Unwatch(nWatch);
}

void CHeadlessMonitor::WaitWithoutLoop() {
    CGatewayApp& app = TheApp();
    while (!app.m_bStopRequested) {
        if (app.TakeSignal(m_signals.Wait(kWaitStepMs))) return;
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
