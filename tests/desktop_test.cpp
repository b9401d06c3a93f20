// End to end on a desktop: the tarnwk binary under Xvfb with trayer as the notification area,
// driven through xdotool as a user would, with rbldnsd as its DNSBL server and aiosmtpd as the
// mail server behind it. Clients come from loopback addresses of their own (127.0.0.2 is listed
// wherever bl.test is used, 127.0.0.3 never).
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/support/MailServer.h"
#include "tests/support/RawPeer.h"
#include "tests/support/Rbldnsd.h"
#include "tests/support/TarnwkRun.h"
#include "tests/support/Wait.h"
#include "tests/support/XDesktop.h"

namespace {
const std::string kTitle = "Tarnwick Professional";
const std::string kRejectLine =
    "550 - Tarnwick: Your Server is Blacklisted. Check mail server blacklists for removal "
    "information\n";

struct CDesktopRun : ::testing::Test, CTarnwkFolder {
    CXDesktop desktop;
    CRbldnsd dnsbl;
    CMailServer mail;
    CChildProcess gateway;
    int nPortIn = FreeTcpPort();
    std::string strIcon;

    void SetUp() override {
        const std::string strMissing = CXDesktop::MissingTools();
        if (!strMissing.empty()) GTEST_SKIP() << "not installed: " << strMissing;
        bHeadless = false;
        ASSERT_TRUE(desktop.Start()) << ReadFileBytes(dir.File("xvfb.log"));
        dnsbl.AddZone("bl.test", {"127.0.0.2"});
        ASSERT_TRUE(dnsbl.Start()) << dnsbl.Output();
        ASSERT_TRUE(mail.StartAiosmtpd());
    }
    // Starts the gateway on the desktop and waits for its icon and its window's first tick.
    void StartGateway(const std::string& strZones) {
        WriteHive("\"EnableLogging\"=\"1\"\n\"MailServer\"=\"127.0.0.1\"\n\"PortIn\"=\"" +
                  std::to_string(nPortIn) + "\"\n\"PortOut\"=\"" + std::to_string(mail.Port()) +
                  "\"\n" + strZones);
        ASSERT_TRUE(
            Start(gateway, "tarnwk", {}, "",
                  {desktop.DisplayVariable(), "TARNWICK_NAMESERVERS=" + dnsbl.Nameserver()}));
        strIcon = desktop.WaitForProgramWindows("tarnwk", 1);
        ASSERT_NE(strIcon, "") << Err("tarnwk");
        ASSERT_EQ(desktop.WaitForWindow(kTitle, false), "");  // hidden on its first tick
        ASSERT_TRUE(WaitForTcpListener(nPortIn, kDeadlineMs));
    }
    // The first line a client from strFrom receives.
    std::string Greeting(const std::string& strFrom) {
        CRawClient client;
        if (!client.Connect(nPortIn, strFrom)) return "";
        client.ReadUntil(
            [](const std::string& strIn) { return strIn.find('\n') != std::string::npos; });
        return client.m_strReceived;
    }
    // Chooses a command of the tray icon's popup menu by keyboard.
    void TrayCommand(const std::string& strKey) {
        desktop.Click(strIcon, 10, 10, 3);
        ASSERT_NE(desktop.WaitForProgramWindows("tarnwk", 2), "");  // the icon and its menu
        desktop.Keys("", {strKey, "Return"});
    }
    // Clicks a point given in the dialog units of a window of cxUnits by cyUnits.
    void ClickAt(const std::string& strWindow, int cxUnits, int cyUnits, int x, int y) {
        const auto [cx, cy] = desktop.Size(strWindow);
        desktop.Click(strWindow, x * cx / cxUnits, y * cy / cyUnits);
    }
    void ExpectShutdown() {
        EXPECT_EQ(gateway.Wait(kDeadlineMs), 0);
        const std::string strLog = Log();
        EXPECT_EQ(strLog.size() - strLog.rfind(kShutdownLines), kShutdownLines.size()) << strLog;
    }
};
}  // namespace

TEST_F(CDesktopRun, ScreensAndRelaysWhileTheWindowShowsCountersAndLogLive) {
    StartGateway("\"DNSBL_0\"=\"+bl.test\"\n\"DNSBL_Servers\"=\"1\"\n");
    desktop.Click(strIcon, 10, 10, 1, 2);
    const std::string strWindow = desktop.WaitForWindow(kTitle);
    ASSERT_NE(strWindow, "");
    const auto [cx, cy] = desktop.Size(strWindow);
    // The counters' column, right of their labels: nothing else is drawn there.
    auto counters = [&, cx = cx, cy = cy] {
        return desktop.Pixels(strWindow, cx * 265 / 305, 0, cx * 27 / 305, cy * 4 / 10);
    };
    const std::string strBefore = counters();

    EXPECT_EQ(Greeting("127.0.0.2"), kRejectLine);
    EXPECT_EQ(Greeting("127.0.0.3").substr(0, 4), "220 ");
    EXPECT_TRUE(WaitUntil([&] { return counters() != strBefore; }, kDeadlineMs));
    // The pane, copied as a user would: click into it, select all, copy.
    desktop.Click(strWindow, cx / 2, cy * 7 / 10);
    desktop.Keys(strWindow, {"ctrl+a", "ctrl+c"});
    const std::string strPane = desktop.Clipboard();
    EXPECT_NE(strPane.find(" : Connection from 127.0.0.2 Rejected (Blacklist Listings: 1)\n"),
              std::string::npos)
        << strPane;
    EXPECT_NE(strPane.find(" : Connection from 127.0.0.3 Accepted"), std::string::npos) << strPane;

    gateway.Signal(SIGTERM);  // the exit path without a question
    ExpectShutdown();
}

TEST_F(CDesktopRun, ConfigureFromTheTrayAddsAZoneThatScreensTheNextClient) {
    StartGateway("");
    EXPECT_EQ(Greeting("127.0.0.2").substr(0, 4), "220 ");
    TrayCommand("Down");  // Configure
    const std::string strDialog = desktop.WaitForWindow(kTitle + " Configuration");
    ASSERT_NE(strDialog, "");
    ClickAt(strDialog, 367, 194, 183, 74);  // DNSBL Servers: Add
    const std::string strAdd = desktop.WaitForWindow("Add Server");
    ASSERT_NE(strAdd, "");
    desktop.Type(strAdd, "bl.test");
    desktop.Keys(strAdd, {"Return"});
    ASSERT_EQ(desktop.WaitForWindow("Add Server", false), "");
    ClickAt(strDialog, 367, 194, 337, 180);  // Save
    ASSERT_EQ(desktop.WaitForWindow(kTitle + " Configuration", false), "");
    EXPECT_NE(ReadFileBytes(strHive).find("\"DNSBL_0\"=\"+bl.test\""), std::string::npos);
    EXPECT_EQ(Greeting("127.0.0.2"), kRejectLine);

    gateway.Signal(SIGINT);
    ExpectShutdown();
}

TEST_F(CDesktopRun, ExitFromTheTrayAsksThenShutsDown) {
    StartGateway("");
    TrayCommand("Up");  // Exit, the last item
    const std::string strQuestion = desktop.WaitForWindow("Warning");
    ASSERT_NE(strQuestion, "");
    desktop.Keys(strQuestion, {"Return"});  // Yes, the default
    ExpectShutdown();
    EXPECT_EQ(desktop.ProgramWindows("tarnwk"), std::vector<std::string>{});  // the icon is gone
}

TEST_F(CDesktopRun, ASecondStartIsTurnedAwayAndShowsTheFirstOnesWindow) {
    StartGateway("");
    CChildProcess second;
    ASSERT_TRUE(Start(second, "second", {"START"}, "", {desktop.DisplayVariable()}));
    const std::string strError = desktop.WaitForWindow("Error");
    ASSERT_NE(strError, "") << Err("second");
    desktop.Keys(strError, {"Return"});
    EXPECT_EQ(second.Wait(kDeadlineMs), 0);
    EXPECT_NE(desktop.WaitForWindow(kTitle), "");  // the first one, nudged
    EXPECT_NE(Log().find(" : Tarnwick Professional is Already Running\r\n"), std::string::npos);
    gateway.Signal(SIGTERM);
    ExpectShutdown();
}
