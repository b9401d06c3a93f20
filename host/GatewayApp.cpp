// CGatewayApp: start-up and command line, the foreground run, reconfiguration, settings.
#include "host/GatewayApp.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "host/GatewayCommandLineInfo.h"
#include "host/HeadlessFrontEnd.h"
#include "platform/MessageBox.h"
#include "platform/ProcessControl.h"
#include "platform/Registry.h"
#include "platform/ServiceNotify.h"
#include "platform/System.h"
#include "settings/SettingsStore.h"

namespace {
constexpr const char* kAlreadyRunning = "Tarnwick Professional is Already Running";
constexpr const char* kActivateMessage = "WM_ACTIVATE 1 0";
constexpr const char* kShowWindowMessage = "WM_SHOWWINDOW 1 0";

IFrontEnd& DefaultFrontEnd() {
    static CHeadlessFrontEnd s_headless;
    return s_headless;
}
}  // namespace

CGatewayApp::CGatewayApp() : m_pFrontEnd(&DefaultFrontEnd()) {}

CGatewayApp::~CGatewayApp() {
    StopListenThread();
    m_pInstanceChannel.reset();
}

void CGatewayApp::SetCommandLine(int argc, const char* const* argv) {
    m_args.assign(argv, argv + argc);
}

// The load's reports wait until what it read is published, so that they go to the log file it
// names, as every later line does.
bool CGatewayApp::LoadSettings(LoadFailure onFailure) {
    AssertUiThread("CGatewayApp::LoadSettings");
    bool bKeyMissing = false;
    std::vector<std::pair<int, std::string>> reports;
    const bool bRead = ::LoadSettings(
        m_settings,
        [&reports](int nCode, const std::string& strText) { reports.emplace_back(nCode, strText); },
        bKeyMissing, DefaultSettingsPlace(), onFailure);
    if (bKeyMissing) m_bConfigAtStart = 1;
    // A failed reload leaves the settings as they were: nothing to publish or report again. The
    // load's own reports come first, then the entries its lists hold that cannot be read.
    std::vector<std::string> problems;
    if (bRead || onFailure == LoadFailure::ClearLists) problems = PublishSettings(true);
    for (const auto& [nCode, strText] : reports) ReportError(nCode, strText);
    for (const std::string& strProblem : problems) ReportError(0, strProblem);
    return bRead;
}

bool CGatewayApp::SaveSettings() {
    return ::SaveSettings(
        m_settings, [this](int nCode, const std::string& strText) { ReportError(nCode, strText); });
}

// Logging with no file named writes to the default file, which the setting then names: the next
// save keeps it.
std::vector<std::string> CGatewayApp::PublishSettings(bool bNewLoad) {
    AssertUiThread("CGatewayApp::PublishSettings");
    if (m_settings.EnableLogging != 0 && m_settings.LogFileName.empty())
        m_settings.LogFileName = CActivityLog::kDefaultLogName;
    return m_gateway.Publish(m_settings, bNewLoad);
}

void CGatewayApp::TakeEditedSettings(const Settings& settings) {
    m_settings = settings;
    PublishSettings(false);
}

void CGatewayApp::StartListenThread() {
    AssertUiThread("CGatewayApp::StartListenThread");
    const int nFailure = m_gateway.StartListenThread();
    if (nFailure == 0) return;
    m_bGatewayDown = 1;
    m_bStopRequested = 1;
    ReportError(nFailure, "Creating Listening Socket");
    if (m_pMonitor != nullptr) m_pMonitor->EndRun();
}

// The socket layer needs no start on this platform; what stands in for it is the set-up every
// socket relies on: the UI thread's loop, broken pipes as errors, and room for descriptors.
bool CGatewayApp::StartSocketLayer() {
    IgnoreBrokenPipes();
    RaiseOpenFileLimit();
    if (CMessagePump::Current() == nullptr) m_pUiLoop = std::make_unique<CEventLoop>();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) close(fd);
    return fd >= 0 && (m_pUiLoop == nullptr || m_pUiLoop->IsValid());
}

bool CGatewayApp::InitInstance() {
    if (!StartSocketLayer()) {
        AfxMessageBox("Windows sockets initialization failed.", "Tarnwk", MB_OK,
                      MB_ICONEXCLAMATION);
        return false;
    }
    m_log.m_bIsNT = PlatformIsNT() ? 1 : 0;

    m_settings.MailServer.clear();
    m_settings.PortOut = 25;
    m_settings.PortIn = 25;
    LoadSettings();

    CGatewayCommandLineInfo info(m_log.m_bIsNT != 0);
    std::vector<const char*> argv;
    for (const std::string& strArg : m_args) argv.push_back(strArg.c_str());
    ParseCommandLine(static_cast<int>(argv.size()), argv.data(), info);

    if (m_log.m_bIsNT) {
        HandOffToCompanion(info.m_strParams);
        return false;
    }
    m_gateway.m_bDebugDump = info.m_bDebug != 0;
    m_bGatewayElsewhere = info.m_bDebug;
    if (info.m_bExit) return false;
    if (!info.m_bDebug && FindRunningInstance()) return false;
    if (m_bConfigAtStart || info.m_bConfig) Configure(false);
    if (info.m_bUninstall) return false;
    RunGateway();
    return false;
}

// On NT the companion program in the current folder runs the gateway; the words go to it as
// one argument. Whether it started is not examined.
void CGatewayApp::HandOffToCompanion(const std::string& strParams) {
    std::vector<std::string> argv{"Tarnwk32"};
    if (!strParams.empty()) argv.push_back(strParams);
    StartProgramNoWait(CurrentDirectory() + "/Tarnwk32", argv);
}

// A running instance is reported first; the nudges follow once the report was dismissed.
bool CGatewayApp::FindRunningInstance() {
    CInstanceChannel channel(kTitle, RegistryHivePath());
    if (!channel.Find()) return false;
    ReportError(0, kAlreadyRunning);
    channel.Send(kActivateMessage);
    channel.Send(kShowWindowMessage);
    return true;
}

void CGatewayApp::CreateControlWindow() {
    if (CEventLoop* pLoop = CEventLoop::ForThisThread()) {
        m_pInstanceChannel = std::make_unique<CInstanceChannel>(kTitle, RegistryHivePath());
        // A DEBUG instance beside a running one finds the name taken and simply goes unfound.
        if (!m_pInstanceChannel->Listen(
                *pLoop, [this](const std::string& strLine) { OnInstanceMessage(strLine); }))
            m_pInstanceChannel.reset();
    }
    m_pFrontEnd->CreateControlWindow(*this);
}

void CGatewayApp::OnInstanceMessage(const std::string& strLine) {
    if (m_pMonitor == nullptr) return;
    if (strLine == kActivateMessage) m_pMonitor->Activate();
    if (strLine == kShowWindowMessage) m_pMonitor->ShowWindow();
}

void CGatewayApp::RunGateway() {
    AssertUiThread("CGatewayApp::RunGateway");
    std::unique_ptr<IMonitorWindow> pMonitor = m_pFrontEnd->CreateMonitorWindow(*this);
    LogLine("Starting Tarnwick");
    // A listening socket that cannot be had is reported (and logged) before the shutdown lines.
    if (!m_bGatewayElsewhere) StartListenThread();
    if (!m_bStopRequested) {
        m_pMonitor = pMonitor.get();
        m_pMainWnd = pMonitor.get();
        CreateControlWindow();
        pMonitor->RunModal();
        m_pFrontEnd->UpdateTrayIcon(NIM_DELETE);
    }
    NotifyServiceManager("STOPPING=1");
    LogLine("Shutting Down Tarnwick\r\n" + std::string(56, '-'));
    // The monitor window goes last: the listener may write to its pane until it is stopped.
    StopListenThread();
    m_pMainWnd = nullptr;
    m_pMonitor = nullptr;
    pMonitor.reset();
    if (m_bStopRequested) m_nExitCode = 1;
}

void CGatewayApp::Configure(bool bApply) {
    AssertUiThread("CGatewayApp::Configure");
    if (m_bConfigOpen) {
        m_pFrontEnd->ShowConfigDialog();
        return;
    }
    m_bConfigOpen = true;
    const bool bSaved = m_pFrontEnd->RunConfigDialog(*this);
    m_bConfigOpen = false;
    if (bSaved) {
        // The dialog's OK left its settings in m_settings. After a failed save the reload would
        // read the old key, or none at all and empty both lists, so that screening would stop:
        // the edited settings are published instead.
        if (SaveSettings())
            LoadSettings();
        else
            PublishSettings(false);
        if (!bApply) return;
        if (m_bGatewayElsewhere) {
            m_bGatewayElsewhere = 0;
            StartListenThread();
        }
    }
    m_pFrontEnd->UpdateTrayIcon(NIM_MODIFY);
    if (m_bReloadPending) ReloadSettings();
}

// The dialog edits a copy of the record and hands its edits back: a reload asked for meanwhile
// waits until it has closed, so that it neither loses them nor is lost by them.
// A service manager hears RELOADING=1 first and READY=1 once the reload is over, failed or not.
bool CGatewayApp::ReloadSettings() {
    AssertUiThread("CGatewayApp::ReloadSettings");
    m_bReloadPending = m_bConfigOpen;
    if (m_bReloadPending) return false;
    NotifyServiceManager(ReloadingState());
    const bool bLoaded = LoadSettings(LoadFailure::KeepSettings);
    if (bLoaded) {
        m_gateway.ApplySettingsToListener();
        LogActivity("Settings Reloaded");
        m_pFrontEnd->UpdateTrayIcon(NIM_MODIFY);
    }
    m_gateway.NotifyReloadDone();
    return bLoaded;
}

bool CGatewayApp::TakeSignal(int nSignal) {
    if (nSignal == SIGHUP) ReloadSettings();
    return nSignal != 0 && nSignal != SIGHUP;
}
