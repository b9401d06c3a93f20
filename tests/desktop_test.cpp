// End to end on a desktop: the tarnwk binary under Xvfb (on a display number of its own, so
// parallel runs never meet) with trayer as the notification area, driven as a user would with
// xdotool, reading the log pane through the clipboard (xclip) and pixels with import; rbldnsd
// serves bl.test listing 127.0.0.2, aiosmtpd is the mail server.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include "tests/support/MailServer.h"
#include "tests/support/RawPeer.h"
#include "tests/support/Rbldnsd.h"
#include "tests/support/TarnwkRun.h"
#include "tests/support/Wait.h"

namespace {
const std::string kTitle = "Tarnwick Professional";
const std::string kRejectLine =
    "550 - Tarnwick: Your Server is Blacklisted. Check mail server blacklists for removal "
    "information\n";
// Visible windows of tarnwk that carry its own name (the icon, the open popup menu): xdotool's
// search by name does not see them.
const std::string kOwnWindows =
    "for w in $(xdotool search --onlyvisible --class '^tarnwk$'); do "
    "[ \"$(xdotool getwindowname $w)\" = tarnwk ] && echo $w; done";

// A shell command's standard output, "" when it failed.
std::string Sh(const std::string& strCommand) {
    std::string strOut;
    FILE* pipe = popen(("(" + strCommand + ") 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return "";
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) strOut.append(buffer, n);
    return pclose(pipe) == 0 ? strOut : "";
}

struct CDesktopRun : ::testing::Test, CTarnwkFolder {
    CChildProcess xvfb, trayer, gateway;
    std::string strDisplay;
    CRbldnsd dnsbl;
    CMailServer mail;
    int nPortIn = FreeTcpPort();
    std::string strIcon;

    void SetUp() override {
        if (Sh("for t in Xvfb trayer xdotool xclip import; do command -v $t; done | wc -l") !=
            "5\n")
            GTEST_SKIP() << "needs Xvfb, trayer, xdotool, xclip and import (ImageMagick)";
        bHeadless = false;
        ASSERT_TRUE(StartXvfb());
        ASSERT_TRUE(trayer.Start({"trayer", "--edge", "top", "--align", "right"}, "",
                                 {"DISPLAY=" + strDisplay}, dir.File("trayer.log")));
        ASSERT_NE(WaitFor("xdotool search --onlyvisible --name '^panel$'"), "")
            << ReadFileBytes(dir.File("trayer.log")) << ReadFileBytes(dir.File("xvfb.log"));
        dnsbl.AddZone("bl.test", {"127.0.0.2"});
        ASSERT_TRUE(dnsbl.Start()) << dnsbl.Output();
        ASSERT_TRUE(mail.StartAiosmtpd());
    }
    // Xvfb on a display number of its own (a recently used one may still be going away): it
    // writes the number once it accepts clients, or ends when the number is taken. Without
    // -noreset it would reset whenever its last client left, refusing whoever came meanwhile.
    bool StartXvfb() {
        for (int nAttempt = 0; nAttempt < 10; ++nAttempt) {
            strDisplay = ":" + std::to_string(100 + (getpid() * 7 + nAttempt * 131) % 800);
            std::remove(dir.File("display").c_str());
            xvfb.Start(
                {"sh", "-c",
                 "exec Xvfb " + strDisplay + " -displayfd 3 -nolisten tcp -noreset 3>display"},
                dir.Path(), {}, dir.File("xvfb.log"));
            if (WaitUntil([&] {
                    return Contains(ReadFileBytes(dir.File("display")), "\n") || !xvfb.Running();
                }) &&
                xvfb.Running())
                return true;
        }
        return false;
    }
    std::string X(const std::string& strCommand) {
        return Sh("export DISPLAY=" + strDisplay + "; " + strCommand);
    }
    // The first line of the command's output once it has one (then also "\n"), else "".
    std::string WaitFor(const std::string& strCommand, bool bSome = true) {
        std::string strOut;
        WaitUntil([&] { return (strOut = X(strCommand)).empty() != bSome; }, kDeadlineMs);
        return strOut.substr(0, strOut.find('\n'));
    }
    std::string Window(const std::string& strName, bool bShown = true) {
        return WaitFor("xdotool search --onlyvisible --name '^" + strName + "$'", bShown);
    }
    // Starts the gateway on the desktop; waits for its icon and its window's first tick.
    void StartGateway() {
        WriteHive("\"EnableLogging\"=\"1\"\n\"MailServer\"=\"127.0.0.1\"\n\"PortIn\"=\"" +
                  std::to_string(nPortIn) + "\"\n\"PortOut\"=\"" + std::to_string(mail.Port()) +
                  "\"\n");
        ASSERT_TRUE(Start(gateway, "tarnwk", {}, "",
                          {"DISPLAY=" + strDisplay, "TARNWICK_NAMESERVERS=" + dnsbl.Nameserver()}));
        ASSERT_NE(Window(kTitle), "") << Err("tarnwk");  // shown, then hidden by the first tick
        ASSERT_EQ(Window(kTitle, false), "");
        strIcon = WaitFor(kOwnWindows);
        ASSERT_NE(strIcon, "");
        ASSERT_TRUE(WaitForTcpListener(nPortIn, kDeadlineMs));
        // The probe's verdict comes from the listener, which may write until it is stopped,
        // after the shutdown lines: it must be in before anything ends the run.
        ASSERT_TRUE(WaitUntil([&] { return Contains(Log(), "127.0.0.1 Accepted"); }));
    }
    // Clicks at x and y per mille of the window's width and height.
    void Click(const std::string& strWindow, int x, int y) {
        X("eval $(xdotool getwindowgeometry --shell " + strWindow +
          "); xdotool mousemove --window " + strWindow + " $((WIDTH*" + std::to_string(x) +
          "/1000)) $((HEIGHT*" + std::to_string(y) + "/1000)) click 1");
    }
    void Keys(const std::string& strWindow, const std::string& strKeys) {
        X("xdotool windowfocus " + strWindow + " key --delay 50 " + strKeys);
    }
    // Chooses a command of the icon's menu by keyboard: "Down" the first, "Up" the last.
    void TrayCommand(const std::string& strKey) {
        X("xdotool mousemove --window " + strIcon + " 10 10 click 3");
        ASSERT_NE(WaitFor(kOwnWindows + " | sed -n 2p"), "");  // the icon and its menu
        X("xdotool key --delay 50 " + strKey + " Return");
    }
    std::string FirstLine(const std::string& strFrom) {
        CRawClient client;
        if (!client.Connect(nPortIn, strFrom)) return "";
        client.ReadUntil([](const std::string& strIn) { return Contains(strIn, "\n"); });
        return client.m_strReceived.substr(0, client.m_strReceived.find('\n') + 1);
    }
    void ExpectShutdown() {
        EXPECT_EQ(gateway.Wait(kDeadlineMs), 0);
        const std::string strLog = Log();
        EXPECT_EQ(strLog.size() - strLog.rfind(kShutdownLines), kShutdownLines.size()) << strLog;
    }
};
}  // namespace

// A second start is turned away and shows the first one's window, which follows the clients
// live; Configure from the tray adds a zone that screens the next client; Exit from the tray
// asks, then shuts down.
TEST_F(CDesktopRun, TheWindowFollowsTheClientsAndTheTrayConfiguresAndExits) {
    StartGateway();
    CChildProcess second;
    ASSERT_TRUE(Start(second, "second", {"START"}, "", {"DISPLAY=" + strDisplay}));
    const std::string strError = Window("Error");
    ASSERT_NE(strError, "") << Err("second");
    Keys(strError, "Return");
    EXPECT_EQ(second.Wait(kDeadlineMs), 0);
    const std::string strWindow = Window(kTitle);  // the first one's, nudged
    ASSERT_NE(strWindow, "");
    // The counters' column right of their labels, where nothing else is drawn.
    auto counters = [&] {
        return X("eval $(xdotool getwindowgeometry --shell " + strWindow + "); import -window " +
                 strWindow +
                 " -crop $((WIDTH*27/305))x$((HEIGHT*4/10))+$((WIDTH*265/305))+0 rgb:-");
    };
    const std::string strBefore = counters();
    EXPECT_EQ(FirstLine("127.0.0.2").substr(0, 4), "220 ");
    EXPECT_TRUE(WaitUntil([&] { return counters() != strBefore; }, kDeadlineMs));

    TrayCommand("Down");  // Configure
    const std::string strDialog = Window(kTitle + " Configuration");
    ASSERT_NE(strDialog, "");
    Click(strDialog, 499, 381);  // DNSBL Servers: Add
    const std::string strAdd = Window("Add Server");
    ASSERT_NE(strAdd, "");
    X("xdotool windowfocus " + strAdd + " type bl.test");
    Keys(strAdd, "Return");
    ASSERT_EQ(Window("Add Server", false), "");
    Click(strDialog, 918, 928);  // Save
    ASSERT_EQ(Window(kTitle + " Configuration", false), "");
    EXPECT_TRUE(Contains(ReadFileBytes(strHive), "\"DNSBL_0\"=\"+bl.test\""));
    EXPECT_EQ(FirstLine("127.0.0.2"), kRejectLine);

    // The pane, copied as a user would: click into it, select all, copy.
    Click(strWindow, 500, 740);
    Keys(strWindow, "ctrl+a ctrl+c");
    std::string strPane;  // there once the program has taken the keys
    WaitUntil([&] { return !(strPane = X("xclip -o -selection clipboard")).empty(); });
    EXPECT_TRUE(Contains(strPane, " : Connection from 127.0.0.2 Accepted\n")) << strPane;
    EXPECT_TRUE(Contains(strPane, " : Connection from 127.0.0.2 Rejected (Blacklist Listings: 1)"));

    TrayCommand("Up");  // Exit
    const std::string strQuestion = Window("Warning");
    ASSERT_NE(strQuestion, "");
    Keys(strQuestion, "Return");  // Yes, the default
    ExpectShutdown();
    EXPECT_EQ(X(kOwnWindows), "");  // the icon is gone
}

TEST_F(CDesktopRun, SigtermEndsTheRunWithoutAQuestion) {
    StartGateway();
    gateway.Signal(SIGTERM);
    ExpectShutdown();
}
