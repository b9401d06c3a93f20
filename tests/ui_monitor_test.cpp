// The monitor window and the control window with its tray icon, offscreen: the gateway's state
// as the window shows it, its timer, its exit path, its log pane, and the tray's menu and
// commands. Whether there is a notification area is the test's to say.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <climits>
#include <regex>
#include <thread>

#include "tests/support/GatewayHarness.h"
#include "tests/support/Process.h"
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

class MonitorWindow : public ::testing::Test {
protected:
    MonitorWindow() {
        setenv("TARNWICK_REGISTRY", m_gateway.m_dir.File("registry.reg").c_str(), 1);
        App().SetFrontEnd(&m_frontEnd);
        App().m_pMainWnd = &m_monitor;
        m_frontEnd.CreateControlWindow(App());
    }
    ~MonitorWindow() override {
        App().m_pMainWnd = &m_gateway.m_window;
        unsetenv("TARNWICK_REGISTRY");
    }
    CGatewayApp& App() { return m_gateway.m_app; }
    CControlWnd& Control() { return *m_frontEnd.ControlWindow(); }
    CMonitorDlg& Shown(CMonitorDlg& monitor) {
        monitor.Create();
        monitor.show();
        return monitor;
    }
    // The modal run; false when it had to be ended for the test.
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
    CMonitorDlg m_monitor{m_gateway.m_app};
};
}  // namespace

TEST_F(MonitorWindow, RefreshShowsTheCountersTheBannerAndTheActiveServersByName) {
    for (auto [pszName, bActive] : {std::pair{"zen.example", 1},
                                    {"off.example", 0},
                                    {"Alpha.example", 1},
                                    {"beta.example", 1},
                                    {"zen.example", 1}})
        App().m_settings.AddDnsblServer(pszName, bActive);
    m_gateway.Publish(true);
    int nCatches = 0;
    for (CDnsblServer* p = App().m_settings.DNSBL_Servers; p; p = p->m_pNext)
        for (int i = 0, n = ++nCatches; i < n; ++i)
            App().m_gateway.CurrentConfig()->pPolicy->pCatches->Raise(p->m_nId);
    CMonitorDlg& monitor = Shown(m_monitor);
    EXPECT_EQ(monitor.windowFlags() & (Qt::WindowType_Mask | Qt::WindowMinMaxButtonsHint),
              Qt::Window | Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(monitor.m_ctlServerError->text(), " SMTP Server Error ");
    EXPECT_EQ(monitor.m_ctlServerError->m_crBk, 255u);
    // Last: the received count has wrapped past the largest one; the difference wraps back.
    for (auto [nReceived, nRejected, pszAccepted, nStatus] :
         {std::tuple{10, 3, "7", 1}, {10, 3, "7", 0}, {INT_MIN, 1, "2147483647", 2}}) {
        App().m_gateway.m_counters.m_nConnections = nReceived;
        App().m_gateway.m_counters.m_nRejected = nRejected;
        App().m_gateway.m_counters.m_nMailServerStatus = nStatus;
        App().RefreshMonitor();
        EXPECT_EQ(monitor.m_ctlReceived->text(), QString::number(nReceived));
        EXPECT_EQ(monitor.m_ctlRejected->text(), QString::number(nRejected));
        EXPECT_EQ(monitor.m_ctlAccepted->text(), pszAccepted);
        EXPECT_EQ(monitor.m_ctlServerError->isVisible(), nStatus == 0);
    }
    QStringList rows;
    for (int i = 0; i < monitor.m_ctlCatches->GetItemCount(); ++i)
        rows << monitor.m_ctlCatches->GetItemText(i, 0) + " " +
                    monitor.m_ctlCatches->GetItemText(i, 1);
    EXPECT_EQ(rows,
              (QStringList{"Alpha.example 3", "beta.example 2", "zen.example 1", "zen.example 5"}));

    // With zone checks on, a suspended zone's row is marked and greyed, and so is one not
    // checked yet; the others are not. The catches column shows its marks whole, inside the list.
    App().m_settings.ZoneCheckMinutes = 60;
    m_gateway.Publish();
    for (const CPolicyZone& zone : App().m_gateway.m_screening.CurrentPolicy()->zones)
        zone.pState->SetHealth(zone.strText == "beta.example"    ? EZoneHealth::Suspended
                               : zone.strText == "Alpha.example" ? EZoneHealth::Unchecked
                                                                 : EZoneHealth::Up);
    App().RefreshMonitor();
    rows.clear();
    CListCtrl& list = *monitor.m_ctlCatches;
    for (int i = 0; i < list.GetItemCount(); ++i) {
        rows << list.GetItemText(i, 0) + " " + list.GetItemText(i, 1);
        EXPECT_EQ(list.topLevelItem(i)->foreground(0).color() == Qt::gray,
                  !rows.back().startsWith("zen"));
    }
    EXPECT_EQ(rows, (QStringList{"Alpha.example 3 (Unchecked)", "beta.example 2 (Suspended)",
                                 "zen.example 1", "zen.example 5"}));
    const int nMargins = 2 * (list.style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1);
    for (int i = 0; i < list.GetItemCount(); ++i)
        EXPECT_LE(list.fontMetrics().horizontalAdvance(list.GetItemText(i, 1)) + nMargins,
                  list.columnWidth(1))
            << list.GetItemText(i, 1).toStdString();
    EXPECT_LE(list.columnWidth(0) + list.columnWidth(1), list.viewport()->width());
}

TEST_F(MonitorWindow, TheFirstTickHidesOnlyWhereTheTrayIconCanBringTheWindowBack) {
    for (bool bTray : {true, false}) {
        CMonitorDlg monitor(App());
        App().m_pMainWnd = &monitor;
        m_frontEnd.m_bTray = bTray;
        m_frontEnd.m_actions.clear();
        Shown(monitor).OnTimer();
        monitor.OnTimer();
        EXPECT_EQ(monitor.isVisible(), !bTray);
        EXPECT_EQ(m_frontEnd.m_actions, std::vector<int>{NIM_MODIFY});  // the icon, once
        Shown(monitor).setWindowState(Qt::WindowMinimized);
        EXPECT_EQ(monitor.isVisible(), !bTray);
        // The icon's double-click brings it back as a normal window; a single click does not.
        monitor.hide();
        Control().OnTrayNotify(QSystemTrayIcon::Trigger);
        EXPECT_FALSE(monitor.isVisible());
        Control().OnTrayNotify(QSystemTrayIcon::DoubleClick);
        EXPECT_TRUE(monitor.isVisible() && !monitor.isMinimized());
        App().m_pMainWnd = &m_monitor;
    }
}

TEST_F(MonitorWindow, AStopRequestEndsTheRunWithoutAQuestionWhileHiddenAndUnderADialog) {
    WhenReady([&] { return m_monitor.IsRunning() && !m_monitor.isVisible(); },
              [&] {
                  // What a listener that cannot listen does to the run (CGatewayApp).
                  QTimer::singleShot(0, [&] {
                      App().m_bGatewayDown = App().m_bStopRequested = 1;
                      m_monitor.EndRun();
                  });
                  m_monitor.findChild<QAction*>("32772")->trigger();  // the About box, modal
              });
    EXPECT_TRUE(RunModal());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(m_gateway.Reports().empty());
}

TEST_F(MonitorWindow, LeavingAsksUnlessTheGatewayRunsElsewhereOrIsDown) {
    CMonitorDlg& monitor = Shown(m_monitor);
    m_gateway.m_boxes.Answer({IDNO, IDNO, IDYES});
    QTest::keyClick(&monitor, Qt::Key_Escape);
    monitor.close();
    EXPECT_TRUE(monitor.isVisible());
    monitor.findChild<QAction*>("32771")->trigger();  // the menu's Exit
    EXPECT_FALSE(monitor.isVisible());
    for (const auto& box : m_gateway.m_boxes.Boxes())
        EXPECT_EQ(std::tie(box.strText, box.strCaption, box.nButtons, box.nIcon, box.hOwner),
                  std::make_tuple(kExitQuestion, std::string("Warning"), int(MB_YESNO),
                                  int(MB_ICONEXCLAMATION), WindowHandle(&monitor)));
    EXPECT_EQ(m_gateway.m_boxes.Boxes().size(), 3u);
    for (std::int32_t* pFlag : {&App().m_bGatewayElsewhere, &App().m_bGatewayDown}) {
        CMonitorDlg other(App());
        *pFlag = 1;
        Shown(other).Close();
        *pFlag = 0;
        EXPECT_FALSE(other.isVisible());
    }
    EXPECT_EQ(m_gateway.m_boxes.Boxes().size(), 3u);
}

TEST_F(MonitorWindow, SystemCommands16To31AndTheMenuOpenTheAboutBox) {
    int nAbout = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* pDialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            nAbout += pDialog->windowTitle() == "About tarnwk";
            pDialog->reject();
        }
    });
    closer.start(10);
    for (int nId : {16, 31, 32, 0xF060}) Shown(m_monitor).OnSysCommand(nId);
    m_monitor.findChild<QAction*>("32772")->trigger();
    EXPECT_EQ(nAbout, 3);
}

TEST_F(MonitorWindow, TheLogPaneKeepsWholeNewestEntriesAndLosesNoneToAnotherThread) {
    CMonitorDlg& monitor = Shown(m_monitor);
    for (int i = 0; i < 200; ++i)
        App().LogActivity(("entry " + std::to_string(i) + " ").append(90, 'x'));
    std::string strPane = monitor.GetLogText();
    EXPECT_LE(strPane.size(), CActivityLog::kMaxPaneText);
    EXPECT_GT(strPane.size() + 2 + 14 + 3 + 100,
              CActivityLog::kMaxPaneText);  // no room for one more
    EXPECT_TRUE(std::regex_search(strPane, std::regex(R"(^\d\d/\d\d/\d\d \d\d:\d\d : entry )")));
    EXPECT_TRUE(strPane.ends_with("entry 199 " + std::string(90, 'x')));
    EXPECT_EQ(monitor.m_ctlLog->toPlainText(), Displayed(strPane));
    QScrollBar* pBar = monitor.m_ctlLog->verticalScrollBar();
    EXPECT_TRUE(pBar->maximum() > 0 && pBar->value() == pBar->maximum());

    // The listener's entries and the mail-server test's echo (appended as it came, CR LF and
    // all) at once from two threads.
    std::atomic<bool> bDone{false};
    std::thread listener([&] {
        for (int i = 0; i < 100; ++i) App().LogActivity("L" + std::to_string(i));
        bDone = true;
    });
    for (int i = 0; i < 100; ++i) {
        monitor.AppendLogText("->U" + std::to_string(i) + "\r\n", IMainWindow::kKeepAll);
        CMessagePump::Current()->Pump(CEventLoop::kPumpLimit);
    }
    EXPECT_TRUE(WaitUntil([&] { return bDone.load(); }));  // pumping, as the UI thread waits
    listener.join();
    // An entry from the other thread right after an echo: the two texts stand apart as given.
    monitor.AppendLogText("->U100\r\n", IMainWindow::kKeepAll);
    std::thread([&] { App().LogActivity("L100"); }).join();
    strPane = monitor.GetLogText();
    for (const std::string strOwn : {" : L", "->U"}) {
        size_t nAt = 0;
        for (int i = 0; i < 100; ++i)  // each thread's text whole and in its order
            ASSERT_NE(nAt = strPane.find(strOwn + std::to_string(i), nAt), std::string::npos) << i;
    }
    EXPECT_TRUE(std::regex_search(strPane, std::regex("->U\\d+\r\n\r\n[^\r\n]+ : L")));
    // The widget follows the other thread's entries a moment later, pumping as the UI thread
    // does; a burst longer than the whole pane from there is shown whole too.
    EXPECT_TRUE(WaitUntil([&] { return monitor.m_ctlLog->toPlainText() == Displayed(strPane); }));
    std::thread burst([&] {
        for (int i = 0; i < 300; ++i)
            App().LogActivity("B" + std::to_string(i) + std::string(60, 'b'));
    });
    burst.join();
    strPane = monitor.GetLogText();
    EXPECT_TRUE(strPane.ends_with("B299" + std::string(60, 'b')));
    EXPECT_EQ(strPane.find(" : L"), std::string::npos);  // all trimmed away by whole entries
    EXPECT_TRUE(WaitUntil([&] { return monitor.m_ctlLog->toPlainText() == Displayed(strPane); }));
}

TEST_F(MonitorWindow, TheTrayIconShowsTheRunningStateAndItsMenuOffersConfigureAndExit) {
    EXPECT_EQ(Control().windowTitle(), "Tarnwick Professional");
    EXPECT_FALSE(Control().isVisible());
    auto shows = [&](const char* pszTip, int nIcon) {
        return Control().TrayIcon().toolTip() == pszTip &&
               Control().TrayIcon().icon().pixmap(16).toImage() ==
                   LoadAppIcon(nIcon).pixmap(16).toImage();
    };
    EXPECT_TRUE(Control().TrayIcon().isVisible());
    EXPECT_TRUE(shows("Tarnwick Professsional: Running", IDR_MAINFRAME));
    App().m_bGatewayElsewhere = 1;
    Control().UpdateTrayIcon(NIM_MODIFY);
    EXPECT_TRUE(shows("Tarnwick Professsional: Stopped", IDI_STOPPED));
    Control().UpdateTrayIcon(NIM_DELETE);
    App().m_bGatewayElsewhere = 0;
    Control().UpdateTrayIcon(NIM_MODIFY);  // gone: nothing changes any more
    EXPECT_FALSE(Control().TrayIcon().isVisible());
    EXPECT_TRUE(shows("Tarnwick Professsional: Stopped", IDI_STOPPED));

    for (auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick}) {
        QStringList items;
        WhenReady([] { return QApplication::activePopupWidget() != nullptr; },
                  [&] {
                      for (QAction* p : QApplication::activePopupWidget()->actions())
                          items << (p->isSeparator() ? "-"
                                    : p->isEnabled() ? p->text()
                                                     : "(" + p->text() + ")");
                      QApplication::activePopupWidget()->close();
                  });
        Control().OnTrayNotify(reason);
        EXPECT_EQ(items, (QStringList{"Configure", "-", "(Service Not Enabled)", "-", "Exit"}));
    }
}

// Configure from the tray while the dialog's mail-server test waits raises that dialog; Exit
// from the tray then closes it as Cancel would (nothing saved, no outcome of the test, no
// question of its own) and ends the run.
TEST_F(MonitorWindow, TheTrayWorksBesideTheOpenConfigurationDialogAndItsTest) {
    App().SaveSettings();
    const std::string strHive = ReadFileBytes(m_gateway.m_dir.File("registry.reg"));
    int fdStalled = -1, fdFiller = -1;
    const int nStalled = StalledTcpPort(fdStalled, fdFiller);
    ASSERT_NE(nStalled, 0);
    WhenReady([&] { return m_frontEnd.OpenConfigDialog() != nullptr; },
              [&] {
                  CConfigDlg* pDialog = m_frontEnd.OpenConfigDialog();
                  EXPECT_EQ(pDialog->parentWidget(), &m_monitor);
                  EXPECT_EQ(pDialog->windowModality(), Qt::WindowModal);  // the tray stays usable
                  Type(pDialog, 1002, "changed.log");
                  for (auto [nId, strText] :
                       {std::pair{1001, QString("127.0.0.1")}, {1014, QString::number(nStalled)}}) {
                      Item<QLineEdit>(pDialog, nId)->clear();
                      Type(pDialog, nId, strText);
                  }
                  pDialog->m_nTestLimitMs = 15000;
                  WhenReady([pDialog] { return pDialog->m_bTestRunning != 0; },
                            [this, pDialog] {
                                Control().OnControlCommand(CControlWnd::ID_CONFIGURE);
                                EXPECT_EQ(m_monitor.findChildren<CConfigDlg*>(),
                                          QList<CConfigDlg*>{pDialog});
                                Control().OnControlCommand(CControlWnd::ID_EXIT);
                                EXPECT_TRUE(pDialog->IsEnded() && pDialog->result() == IDCANCEL);
                            });
                  m_gateway.m_boxes.Answer({IDOK, IDYES});  // the test's warning, the exit
                  Click(pDialog, 1034);  // the test starts, and the dialog goes on meanwhile
              });
    QTimer::singleShot(0, [&] { Control().OnControlCommand(CControlWnd::ID_CONFIGURE); });
    EXPECT_TRUE(RunModal());
    close(fdStalled);
    close(fdFiller);
    EXPECT_EQ(m_gateway.Reports().back(), kExitQuestion);
    EXPECT_EQ(m_gateway.Reports().size(), 2u);  // the test's warning, then the exit question
    EXPECT_EQ(ReadFileBytes(m_gateway.m_dir.File("registry.reg")), strHive);
}
