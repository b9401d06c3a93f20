// The monitor window and the control window with its tray icon, on the offscreen desktop: the
// gateway's state as the window shows it, its timer, its exit path, the log pane, and the tray's
// menu and commands. The notification area is the test's to give or take away.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <climits>
#include <regex>
#include <thread>

#include "tests/support/GatewayHarness.h"
#include "tests/support/ui/UiDriver.h"
#include "ui/ColorEdit.h"
#include "ui/ConfigDlg.h"
#include "ui/ControlWnd.h"
#include "ui/ListCtrl.h"
#include "ui/MonitorDlg.h"
#include "ui/QtFrontEnd.h"

namespace {
const std::string kExitQuestion =
    "Exit Tarnwick?\nWARNING: This will prevent incoming emails from coming in.";

// The desktop front end with a notification area the test switches, counting icon updates.
class CTestFrontEnd : public CQtFrontEnd {
public:
    CTestFrontEnd() {
        m_isTrayAvailable = [this] { return m_bTray; };
    }
    void UpdateTrayIcon(int nAction) override {
        m_actions.push_back(nAction);
        CQtFrontEnd::UpdateTrayIcon(nAction);
    }
    bool m_bTray = true;
    std::vector<int> m_actions;
};

QString Displayed(const std::string& strPane) {
    return QString::fromStdString(std::regex_replace(strPane, std::regex("\r"), ""));
}

// Runs fn from the event loop each time bReady holds, until it returns true.
void WhenReady(const std::function<bool()>& bReady, const std::function<void()>& fn) {
    auto* pTimer = new QTimer(qApp);
    QObject::connect(pTimer, &QTimer::timeout, pTimer, [pTimer, bReady, fn] {
        if (!bReady()) return;
        pTimer->stop();
        pTimer->deleteLater();
        fn();
    });
    pTimer->start(10);
}

class MonitorWindow : public ::testing::Test {
protected:
    MonitorWindow() {
        setenv("TARNWICK_REGISTRY", m_gateway.m_dir.File("registry.reg").c_str(), 1);
        App().SetFrontEnd(&m_frontEnd);
        App().m_pMainWnd = &m_monitor;
    }
    ~MonitorWindow() override {
        App().m_pMainWnd = &m_gateway.m_window;
        unsetenv("TARNWICK_REGISTRY");
    }
    CGatewayApp& App() { return m_gateway.m_app; }
    CMonitorDlg& Shown() {
        m_monitor.Create();
        m_monitor.show();
        return m_monitor;
    }
    // The modal run, ended by the test should it not end by itself; true when it ended itself.
    bool RunModal() {
        bool bStalled = false;
        QTimer::singleShot(20000, &m_monitor, [&] {
            bStalled = true;
            m_monitor.EndRun();
        });
        m_monitor.RunModal();
        return !bStalled;
    }

    CGatewayHarness m_gateway;
    CTestFrontEnd m_frontEnd;
    CMonitorDlg m_monitor;
};
}  // namespace

TEST_F(MonitorWindow, RefreshShowsTheCountersTheBannerAndTheActiveServersByName) {
    Settings& settings = App().m_settings;
    for (auto [pszName, bActive] : {std::pair{"zen.example", 1},
                                    {"off.example", 0},
                                    {"Alpha.example", 1},
                                    {"beta.example", 1},
                                    {"zen.example", 1}})
        settings.AddDnsblServer(pszName, bActive);
    int nCatches = 0;
    for (CDnsblServer* p = settings.DNSBL_Servers; p; p = p->m_pNext) p->m_nCatches = ++nCatches;
    CMonitorDlg& monitor = Shown();
    EXPECT_EQ(monitor.m_ctlServerError->text(), " SMTP Server Error ");
    EXPECT_EQ(monitor.m_ctlServerError->m_crBk, 255u);
    struct CCase {
        std::int32_t nReceived, nRejected;
        const char* pszAccepted;
        std::int32_t nStatus;
    };
    // The last: received has wrapped past the largest count; the difference wraps back.
    for (const CCase& c : {CCase{10, 3, "7", 1}, {10, 3, "7", 0}, {INT_MIN, 1, "2147483647", 2}}) {
        App().m_nConnections = c.nReceived;
        App().m_nRejected = c.nRejected;
        App().m_nMailServerStatus = c.nStatus;
        App().RefreshMonitor();
        EXPECT_EQ(monitor.m_ctlReceived->text(), QString::number(c.nReceived));
        EXPECT_EQ(monitor.m_ctlRejected->text(), QString::number(c.nRejected));
        EXPECT_EQ(monitor.m_ctlAccepted->text(), c.pszAccepted);
        EXPECT_EQ(monitor.m_ctlServerError->isVisible(), c.nStatus == 0);
    }
    std::vector<std::string> rows;
    for (int i = 0; i < monitor.m_ctlCatches->GetItemCount(); ++i)
        rows.push_back((monitor.m_ctlCatches->GetItemText(i, 0) + " " +
                        monitor.m_ctlCatches->GetItemText(i, 1))
                           .toStdString());
    EXPECT_EQ(rows, (std::vector<std::string>{"Alpha.example 3", "beta.example 2", "zen.example 1",
                                              "zen.example 5"}));
}

TEST_F(MonitorWindow, TheFirstTickHidesTheWindowAndRefreshesTheIconOnlyWhereTheIconCanBringItBack) {
    m_frontEnd.CreateControlWindow();
    for (bool bTray : {true, false}) {
        CMonitorDlg monitor;
        App().m_pMainWnd = &monitor;
        m_frontEnd.m_bTray = bTray;
        m_frontEnd.m_actions.clear();
        monitor.Create();
        monitor.show();
        monitor.OnTimer();
        monitor.OnTimer();
        EXPECT_EQ(monitor.isVisible(), !bTray);
        EXPECT_EQ(m_frontEnd.m_actions, std::vector<int>{NIM_MODIFY});
        // Minimised: gone from the screen, unless nothing could bring it back.
        monitor.show();
        monitor.setWindowState(Qt::WindowMinimized);
        EXPECT_EQ(monitor.isVisible(), !bTray);
        // The tray's double-click brings it back as a normal window; a single click does not.
        monitor.hide();
        m_frontEnd.ControlWindow()->OnTrayNotify(QSystemTrayIcon::Trigger);
        EXPECT_FALSE(monitor.isVisible());
        m_frontEnd.ControlWindow()->OnTrayNotify(QSystemTrayIcon::DoubleClick);
        EXPECT_TRUE(monitor.isVisible());
        EXPECT_FALSE(monitor.isMinimized());
        App().m_pMainWnd = &m_monitor;
    }
}

TEST_F(MonitorWindow, AStopRequestEndsTheRunWithoutAQuestionWhileHiddenOrUnderADialog) {
    m_frontEnd.CreateControlWindow();
    for (bool bDialog : {false, true}) {
        App().m_bStopRequested = 0;
        m_monitor.m_bHidePending = 1;
        WhenReady([&] { return m_monitor.IsRunning() && !m_monitor.isVisible(); },
                  [&] {
                      QTimer::singleShot(0, [&] {  // as the failed listener does
                          App().m_bGatewayDown = 1;
                          App().m_bStopRequested = 1;
                      });
                      if (bDialog) m_monitor.findChild<QAction*>("32772")->trigger();  // About
                  });
        EXPECT_TRUE(RunModal()) << bDialog;
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        EXPECT_TRUE(m_gateway.Reports().empty());
    }
}

TEST_F(MonitorWindow, LeavingAsksUnlessTheGatewayRunsElsewhereOrIsDown) {
    CMonitorDlg& monitor = Shown();
    m_gateway.m_boxes.Answer({IDNO, IDNO, IDYES});
    QTest::keyClick(&monitor, Qt::Key_Escape);
    monitor.close();
    EXPECT_TRUE(monitor.isVisible());
    monitor.findChild<QAction*>("32771")->trigger();  // the menu's Exit
    EXPECT_FALSE(monitor.isVisible());
    EXPECT_EQ(monitor.result(), IDOK);
    const std::vector<CRecordingMessageBox::CBox> boxes = m_gateway.m_boxes.Boxes();
    ASSERT_EQ(boxes.size(), 3u);
    for (const auto& box : boxes) {
        EXPECT_EQ(box.strText, kExitQuestion);
        EXPECT_EQ(box.strCaption, "Warning");
        EXPECT_EQ(box.nButtons, MB_YESNO);
        EXPECT_EQ(box.nIcon, MB_ICONEXCLAMATION);
        EXPECT_EQ(box.hOwner, &monitor);
    }
    // DEBUG (no listener here) and a failed listener leave without a question.
    for (std::atomic<std::int32_t>* pFlag : {&App().m_bGatewayElsewhere, &App().m_bGatewayDown}) {
        CMonitorDlg other;
        other.Create();
        other.show();
        *pFlag = 1;
        other.Close();
        *pFlag = 0;
        EXPECT_FALSE(other.isVisible());
    }
    EXPECT_EQ(m_gateway.m_boxes.Boxes().size(), 3u);
}

TEST_F(MonitorWindow, SystemCommands16To31AndTheMenuOpenTheAboutBox) {
    CMonitorDlg& monitor = Shown();
    int nAbout = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        auto* pDialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (pDialog == nullptr) return;
        nAbout += pDialog->windowTitle() == "About tarnwk";
        pDialog->reject();
    });
    closer.start(10);
    for (int nId : {16, 31, 32, 0xF060}) monitor.OnSysCommand(nId);
    EXPECT_EQ(nAbout, 2);
    monitor.findChild<QAction*>("32772")->trigger();
    EXPECT_EQ(nAbout, 3);
}

TEST_F(MonitorWindow, TheLogPaneKeepsWholeNewestEntriesWithinTheLimitAndShowsTheEnd) {
    CMonitorDlg& monitor = Shown();
    for (int i = 0; i < 200; ++i) {
        const std::string strText = "entry " + std::to_string(i) + " ";
        App().LogActivity(strText + std::string(100 - strText.size(), 'x'));
    }
    std::string strPane = monitor.GetLogText();
    EXPECT_LE(strPane.size(), CLoggingApp::kMaxPaneText);
    EXPECT_GT(strPane.size() + 2 + 14 + 3 + 100,
              CLoggingApp::kMaxPaneText);  // no room for one more
    EXPECT_TRUE(std::regex_search(strPane, std::regex(R"(^\d\d/\d\d/\d\d \d\d:\d\d : entry )")));
    EXPECT_EQ(strPane.substr(strPane.size() - 100), "entry 199 " + std::string(90, 'x'));
    EXPECT_EQ(monitor.m_ctlLog->toPlainText(), Displayed(strPane));
    QScrollBar* pBar = monitor.m_ctlLog->verticalScrollBar();
    EXPECT_GT(pBar->maximum(), 0);
    EXPECT_EQ(pBar->value(), pBar->maximum());

    // The mail-server test's echo is appended as it came, CR LF and all, and nothing is cut.
    monitor.AppendLogText("->220 mail ready\r\n", IMainWindow::kKeepAll);
    App().LogActivity("after");
    strPane = monitor.GetLogText();
    EXPECT_TRUE(
        std::regex_search(strPane, std::regex("->220 mail ready\r\n\r\n[^\r\n]+ : after$")));
    EXPECT_EQ(monitor.m_ctlLog->toPlainText(), Displayed(strPane));
}

TEST_F(MonitorWindow, TwoThreadsAppendingAtOnceLoseNothing) {
    CMonitorDlg& monitor = Shown();
    constexpr int kEach = 150;
    std::atomic<bool> bDone{false};
    std::thread listener([&] {
        for (int i = 0; i < kEach; ++i) {
            App().LogActivity("L" + std::to_string(i));
            App().RefreshMonitor();
        }
        bDone = true;
    });
    for (int i = 0; i < kEach; ++i) {
        monitor.AppendLogText("->U" + std::to_string(i) + "\r\n", IMainWindow::kKeepAll);
        App().PumpMessages();
    }
    EXPECT_TRUE(WaitUntil([&] { return bDone.load(); }));
    listener.join();
    const std::string strPane = monitor.GetLogText();
    size_t nListener = 0, nUi = 0;
    for (int i = 0; i < kEach; ++i) {
        // An echo follows an entry directly (the pane puts no line break after its newest one).
        const std::regex entry(" : L" + std::to_string(i) + "(\r\n|->|$)");
        std::smatch match;
        const size_t nL =
            std::regex_search(strPane, match, entry) ? match.position(0) : std::string::npos;
        const size_t nU = strPane.find("->U" + std::to_string(i) + "\r\n");
        ASSERT_NE(nL, std::string::npos) << i;
        ASSERT_NE(nU, std::string::npos) << i;
        EXPECT_GT(nL + 1, nListener);  // each thread's own text in its order
        EXPECT_GT(nU + 1, nUi);
        nListener = nL;
        nUi = nU;
    }
    EXPECT_EQ(monitor.m_ctlLog->toPlainText(), Displayed(strPane));
}

TEST_F(MonitorWindow, TheTrayIconShowsTheRunningStateAndItsMenuOffersConfigureAndExit) {
    m_frontEnd.CreateControlWindow();
    CControlWnd& control = *m_frontEnd.ControlWindow();
    EXPECT_EQ(control.windowTitle(), "Tarnwick Professional");
    EXPECT_FALSE(control.isVisible());
    auto iconIs = [&](int nId) {
        return control.TrayIcon().icon().pixmap(16).toImage() ==
               LoadAppIcon(nId).pixmap(16).toImage();
    };
    EXPECT_TRUE(control.TrayIcon().isVisible());
    EXPECT_EQ(control.TrayIcon().toolTip(), "Tarnwick Professsional: Running");
    EXPECT_TRUE(iconIs(IDR_MAINFRAME));
    App().m_bGatewayElsewhere = 1;
    control.UpdateTrayIcon(NIM_MODIFY);
    EXPECT_EQ(control.TrayIcon().toolTip(), "Tarnwick Professsional: Stopped");
    EXPECT_TRUE(iconIs(IDI_STOPPED));
    control.UpdateTrayIcon(NIM_DELETE);
    App().m_bGatewayElsewhere = 0;
    control.UpdateTrayIcon(NIM_MODIFY);  // gone: nothing changes any more
    EXPECT_FALSE(control.TrayIcon().isVisible());
    EXPECT_EQ(control.TrayIcon().toolTip(), "Tarnwick Professsional: Stopped");

    for (auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick}) {
        QStringList items;
        WhenReady([] { return QApplication::activePopupWidget() != nullptr; },
                  [&] {
                      QWidget* pPopup = QApplication::activePopupWidget();
                      for (QAction* pAction : pPopup->actions())
                          items << (pAction->isSeparator() ? QStringLiteral("-")
                                    : pAction->isEnabled() ? pAction->text()
                                                           : "(" + pAction->text() + ")");
                      pPopup->close();
                  });
        control.OnTrayNotify(reason);
        EXPECT_EQ(items, (QStringList{"Configure", "-", "(Service Not Enabled)", "-", "Exit"}));
    }
}

// Configure from the tray while the dialog is open raises that dialog; Exit from the tray then
// closes it as Cancel would (nothing saved, no question of its own) and ends the run.
TEST_F(MonitorWindow, TheTrayWorksBesideTheOpenConfigurationDialog) {
    App().SaveSettings();
    const std::string strHive = ReadFileBytes(m_gateway.m_dir.File("registry.reg"));
    m_frontEnd.CreateControlWindow();
    CControlWnd& control = *m_frontEnd.ControlWindow();
    bool bChecked = false;
    WhenReady([&] { return m_frontEnd.OpenConfigDialog() != nullptr; },
              [&] {
                  CConfigDlg* pDialog = m_frontEnd.OpenConfigDialog();
                  EXPECT_EQ(pDialog->parentWidget(), &m_monitor);
                  EXPECT_EQ(pDialog->windowModality(), Qt::WindowModal);
                  Type(pDialog, 1002, "changed.log");
                  control.OnControlCommand(CControlWnd::ID_CONFIGURE);
                  EXPECT_EQ(m_frontEnd.OpenConfigDialog(), pDialog);
                  EXPECT_EQ(m_monitor.findChildren<CConfigDlg*>().size(), 1);
                  EXPECT_TRUE(pDialog->isVisible());
                  m_gateway.m_boxes.Answer({IDYES});
                  control.OnControlCommand(CControlWnd::ID_EXIT);
                  EXPECT_TRUE(pDialog->IsEnded());
                  EXPECT_EQ(pDialog->result(), IDCANCEL);
                  bChecked = true;
              });
    QTimer::singleShot(0, [&] { control.OnControlCommand(CControlWnd::ID_CONFIGURE); });
    EXPECT_TRUE(RunModal());
    EXPECT_TRUE(bChecked);
    EXPECT_EQ(m_gateway.Reports(), std::vector<std::string>{kExitQuestion});
    EXPECT_EQ(ReadFileBytes(m_gateway.m_dir.File("registry.reg")), strHive);
}
