#include "ui/Desktop.h"

#include <QApplication>
#include <QSocketNotifier>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>

#include "platform/MessagePump.h"
#include "ui/QtMessageBox.h"

namespace {
std::atomic<CDesktop*> g_pDesktop{nullptr};
constexpr const char* kFallbackPlatform = "offscreen";

// Fulfils its promise when it goes, run or not: a hand-off the loop dropped unrun (the loop
// ended first) still wakes its caller.
class CHandOff {
public:
    ~CHandOff() { m_done.set_value(m_bRan); }
    std::future<bool> Future() { return m_done.get_future(); }
    void Ran() { m_bRan = true; }

private:
    std::promise<bool> m_done;
    bool m_bRan = false;
};
}  // namespace

// The UI thread's pump: the loop's pending items, then Qt's pending events.
class CDesktop::CQtPump : public CMessagePump {
public:
    explicit CQtPump(CEventLoop& loop) : m_loop(loop) {}
    int Pump(int nMaxItems) override {
        const int nCount = m_loop.Pump(nMaxItems);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return nCount;
    }

private:
    CEventLoop& m_loop;
};

CDesktop::CDesktop(int& argc, char** argv)
    : m_uiThread(std::this_thread::get_id()),
      m_pApplication(std::make_unique<QApplication>(argc, argv)),
      m_pLoop(std::make_unique<CEventLoop>()),
      m_poster(m_pLoop->Poster()) {
    m_pNotifier = std::make_unique<QSocketNotifier>(m_pLoop->EpollFd(), QSocketNotifier::Read);
    QObject::connect(m_pNotifier.get(), &QSocketNotifier::activated, m_pNotifier.get(),
                     [this] { m_pLoop->Pump(CEventLoop::kPumpLimit); });
    m_pPump = std::make_unique<CQtPump>(*m_pLoop);
    CMessagePump::SetCurrent(m_pPump.get());
    m_pBoxes = std::make_unique<CQtMessageBox>(*this);
    SetMessageBoxService(m_pBoxes.get());
    g_pDesktop.store(this);
}

CDesktop::~CDesktop() {
    g_pDesktop.store(nullptr);
    if (&MessageBoxService() == m_pBoxes.get()) SetMessageBoxService(nullptr);
    m_pBoxes->CloseNotices();
    CMessagePump::SetCurrent(m_pLoop.get());
    m_pNotifier.reset();
    m_pLoop.reset();
    m_pApplication.reset();
}

CDesktop* CDesktop::Instance() { return g_pDesktop.load(); }

namespace {
// Qt's messages while the platform is being chosen: a display that cannot be opened is ours
// to report.
QtMessageHandler g_previousHandler = nullptr;
void QuietAboutPlatforms(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (context.category != nullptr && std::string(context.category).rfind("qt.qpa", 0) == 0)
        return;
    if (g_previousHandler != nullptr) g_previousHandler(type, context, text);
}

std::string DisplayName() {
    for (const char* pName : {"DISPLAY", "WAYLAND_DISPLAY"})
        if (const char* pValue = std::getenv(pName); pValue && *pValue) return pValue;
    return "";
}

// Qt's platform for the display the environment names, with "offscreen" behind it: Qt falls
// back to that one when the display cannot be opened, where it would otherwise abort.
std::string PlatformList() {
    const char* pChosen = std::getenv("QT_QPA_PLATFORM");
    const char* pDisplay = std::getenv("DISPLAY");
    const std::string strFirst = pChosen && *pChosen     ? pChosen
                                 : pDisplay && *pDisplay ? "xcb"
                                                         : "wayland";
    return strFirst + ";" + kFallbackPlatform;
}
}  // namespace

std::unique_ptr<CDesktop> CDesktop::Open(const char* pszProgram) {
    // QApplication keeps argc and argv for its life.
    static int s_argc = 3;
    static std::string s_strProgram = pszProgram, s_strOption = "-platform",
                       s_strPlatforms = PlatformList();
    static char* s_argv[] = {s_strProgram.data(), s_strOption.data(), s_strPlatforms.data(),
                             nullptr};
    g_previousHandler = qInstallMessageHandler(QuietAboutPlatforms);
    auto pDesktop = std::make_unique<CDesktop>(s_argc, s_argv);
    qInstallMessageHandler(g_previousHandler);
    if (QGuiApplication::platformName() != QLatin1String(kFallbackPlatform)) return pDesktop;
    pDesktop.reset();
    std::fprintf(stderr,
                 "Tarnwick: the display \"%s\" cannot be opened; running without windows, as with "
                 "TARNWICK_HEADLESS=1.\n",
                 DisplayName().c_str());
    std::fflush(stderr);
    return nullptr;
}

bool CDesktop::Invoke(const std::function<void()>& fn) const {
    if (IsUiThread()) {
        fn();
        return true;
    }
    auto pHandOff = std::make_shared<CHandOff>();
    std::future<bool> done = pHandOff->Future();
    if (!m_poster.Post([pHandOff, &fn] {
            fn();
            pHandOff->Ran();
        }))
        return false;
    pHandOff.reset();
    return done.get();
}
