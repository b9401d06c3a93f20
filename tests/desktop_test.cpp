// End to end on a desktop: the tarnwk binary under Xvfb (on a display number of its own, so
// parallel runs never meet) with trayer as the notification area, driven as a user would with
// xdotool, reading the log pane through the clipboard (xclip) and pixels with import; rbldnsd
// serves bl.test listing 127.0.0.2, aiosmtpd is the mail server.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/MailServer.h"
#include "tests/support/RawPeer.h"
#include "tests/support/Rbldnsd.h"
#include "tests/support/TarnwkRun.h"
#include "tests/support/Wait.h"

namespace {
const std::string kTitle = "Tarnwick Professional";
const std::string kGreeting = "220 mail ready\r\n";
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

// The mail server of a test that stops it and starts it again on the same port: a greeting, then
// every byte echoed.
void GreetAndEcho(int fd) {
    SendAllFd(fd, kGreeting.data(), kGreeting.size());
    EchoUntilClosed(fd);
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
    // Starts the gateway on the desktop, relaying to nMailPort (aiosmtpd's when 0); waits for
    // its icon and its window's first tick.
    void StartGateway(int nMailPort = 0) {
        WriteHive("\"EnableLogging\"=\"1\"\n\"MailServer\"=\"127.0.0.1\"\n\"PortIn\"=\"" +
                  std::to_string(nPortIn) + "\"\n\"PortOut\"=\"" +
                  std::to_string(nMailPort != 0 ? nMailPort : mail.Port()) + "\"\n");
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

    // The pane, copied as a user would: click into it, select all, copy; again until the
    // listener's newest entry has reached it (the pane follows the listener within a moment).
    const std::string strRejected = " : Connection from 127.0.0.2 Rejected (Blacklist Listings: 1)";
    std::string strPane;
    WaitUntil([&] {
        Click(strWindow, 500, 740);
        Keys(strWindow, "ctrl+a ctrl+c");
        return Contains(strPane = X("xclip -o -selection clipboard"), strRejected);
    });
    EXPECT_TRUE(Contains(strPane, " : Connection from 127.0.0.2 Accepted\n")) << strPane;
    EXPECT_TRUE(Contains(strPane, strRejected));

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

// The desktop never holds the listener. The configuration dialog's mail-server test, pointed at
// a server whose connect stays unanswered, waits while a relayed session exchanges data
// byte-exact and a new client is greeted. Then, with the mail server down a moment, the
// listener's error box stays open while a monitor gets its status and, the mail server back,
// the next client is greeted; SIGTERM with the box still open ends the run as always.
TEST_F(CDesktopRun, NeitherTheMailServerTestNorAnOpenErrorBoxHoldsTheListener) {
    CRawServer server;
    ASSERT_TRUE(server.Start(GreetAndEcho));
    const int nMailPort = server.Port();
    StartGateway(nMailPort);
    CRawClient relayed;
    ASSERT_TRUE(relayed.Connect(nPortIn, "127.0.0.3"));
    ASSERT_TRUE(relayed.ReadUntilContains(kGreeting));

    ASSERT_NE(Sh("command -v ss"), "") << "needs ss (iproute2) to see the test's connect wait";
    int fdStalled = -1, fdFiller = -1;
    const std::string strStalled = std::to_string(StalledTcpPort(fdStalled, fdFiller));
    const std::string strTestWaits =
        "ss -Htn state syn-sent '( dport = :" + strStalled + " )' | grep -c .";
    TrayCommand("Down");  // Configure
    const std::string strDialog = Window(kTitle + " Configuration");
    ASSERT_NE(strDialog, "");
    Click(strDialog, 290, 196);  // Outgoing: Port
    Keys(strDialog, "ctrl+a");
    X("xdotool windowfocus " + strDialog + " type " + strStalled);
    Click(strDialog, 405, 198);  // Test Configuration
    const std::string strWarning = Window("Warning");
    ASSERT_NE(strWarning, "");
    Keys(strWarning, "Return");  // OK: the test begins
    ASSERT_EQ(WaitFor(strTestWaits), "1");
    std::string strSent;
    for (unsigned nRound = 0; nRound < 16; ++nRound) {
        const std::string strChunk = RandomStream(16384, nRound);
        ASSERT_TRUE(relayed.SendAll(strChunk));
        strSent += strChunk;
        ASSERT_TRUE(relayed.ReadUntil([&](const std::string& strIn) {
            return strIn.size() >= kGreeting.size() + strSent.size();
        }));
    }
    EXPECT_TRUE(relayed.m_strReceived == kGreeting + strSent);
    EXPECT_EQ(FirstLine("127.0.0.4"), kGreeting);
    EXPECT_EQ(X(strTestWaits), "1\n");                         // all that while the test waited
    const int fdQueued = accept(fdStalled, nullptr, nullptr);  // room for the test's connect
    const std::string strSuccess = Window("Success");
    ASSERT_NE(strSuccess, "");
    Keys(strSuccess, "Return");
    Keys(strDialog, "Escape");
    const std::string strUnsaved = Window("Warning");
    ASSERT_NE(strUnsaved, "");
    Keys(strUnsaved, "Return");  // Yes: closed unsaved
    ASSERT_EQ(Window(kTitle + " Configuration", false), "");
    for (int fd : {fdQueued, fdFiller, fdStalled}) close(fd);

    server.Stop();
    CRawClient refused;
    ASSERT_TRUE(refused.Connect(nPortIn, "127.0.0.5"));
    const std::string strBox = Window("Error");
    ASSERT_NE(strBox, "");
    EXPECT_TRUE(Contains(Log(), "Could not connect to Mail Server Error 111"));
    CRawClient monitor;
    ASSERT_TRUE(monitor.Connect(nPortIn));
    ASSERT_TRUE(monitor.SendAll("MONITOR\r\n"));
    EXPECT_TRUE(monitor.ReadUntilContains("STAT 0\r\n"));
    ASSERT_TRUE(server.Start(GreetAndEcho, nMailPort));
    EXPECT_EQ(FirstLine("127.0.0.6"), kGreeting);
    EXPECT_TRUE(monitor.ReadUntilContains("STAT 1\r\n"));
    EXPECT_EQ(Window("Error"), strBox);  // still waiting for its answer
    gateway.Signal(SIGTERM);
    ExpectShutdown();
}
