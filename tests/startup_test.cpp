// The tarnwk binary started headless in a temporary folder with its own hive: switches, the NT
// hand-off, the single-instance test and the foreground run's log lines.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/InstanceChannel.h"
#include "tests/support/GatewayHarness.h"
#include "tests/support/TarnwkRun.h"

namespace {
const std::string kUsageBox =
    "Message: Tarnwick Usage:\n\tTarnwk\t\t\tRun Tarnwick\n\tTarnwk -config\t\tConfigure "
    "Settings\n\tTarnwk -uninstall\t\tUninstall Service\n\tTarnwk -Stop\t\tStop Service\n";
const std::string kNeedsDesktop = "the configuration dialog needs a desktop";

size_t Count(const std::string& strText, const std::string& strPart) {
    size_t nCount = 0;
    for (size_t nPos = strText.find(strPart); nPos != std::string::npos;
         nPos = strText.find(strPart, nPos + 1))
        ++nCount;
    return nCount;
}

bool WaitFor(const std::function<bool()>& condition) {
    return WaitUntil(condition, CTarnwkFolder::kDeadlineMs);
}

struct CStartupFixture : ::testing::Test, CTarnwkFolder {
    using CTarnwkFolder::Run;
    bool InstanceAnswers() { return CInstanceChannel("Tarnwick Professional", strHive).Find(); }
    std::string HiveWithPortIn(int nPortIn) {
        return "\"EnableLogging\"=\"1\"\n\"PortIn\"=\"" + std::to_string(nPortIn) + "\"\n";
    }
};
}  // namespace

// How each form of a word is read is shown on the parser itself; here what the binary does.
TEST_F(CStartupFixture, SwitchesDecideHowTheProgramEnds) {
    WriteHive("\"EnableLogging\"=\"1\"\n");
    // CONFIG shows the dialog's notice; UNINSTALL then ends the program.
    EXPECT_EQ(Run("config", {"-CONFIG", "/uninstall"}), 0);
    EXPECT_EQ(Count(Err("config"), kNeedsDesktop), 1u);
    EXPECT_EQ(Count(Err("config"), "Usage"), 0u);
    // Every unrecognised word ("--config" too) gets its usage box, the words after it are still
    // read, and the program ends without the dialog.
    EXPECT_EQ(Run("several", {"foo", "--config", "-config", "baz"}), 0);
    EXPECT_EQ(Err("several"), kUsageBox + kUsageBox + kUsageBox);
    // STOP and UNINSTALL end quietly.
    EXPECT_EQ(Run("stop", {"stop"}), 0);
    EXPECT_EQ(Run("uninstall", {"-Uninstall", "service"}), 0);
    EXPECT_EQ(Err("stop") + Out("stop") + Err("uninstall") + Out("uninstall"), "");
    EXPECT_EQ(Log(), "");  // nothing ran
}

// A display that cannot be opened is no reason to abort: the run goes on headless.
TEST_F(CStartupFixture, ADisplayThatCannotBeOpenedFallsBackToHeadlessWithANotice) {
    WriteHive("\"EnableLogging\"=\"1\"\n");
    bHeadless = false;
    EXPECT_EQ(Run("nodisplay", {"CONFIG", "UNINSTALL"}, {"DISPLAY=:4242", "WAYLAND_DISPLAY="}), 0);
    const std::string strErr = Err("nodisplay");
    EXPECT_NE(strErr.find("Tarnwick: the display \":4242\" cannot be opened; running without "
                          "windows, as with TARNWICK_HEADLESS=1.\n"),
              std::string::npos)
        << strErr;
    EXPECT_EQ(Count(strErr, kNeedsDesktop), 1u);  // and the dialog's headless notice
}

TEST_F(CStartupFixture, FirstRunReportsTheMissingSettingsThenAsksForTheDialog) {
    EXPECT_EQ(Run("first", {"uninstall"}), 0);
    EXPECT_EQ(Err("first").find("Error: Error: Configuration File Not Found. Using Defaults. "
                                "Filtering will not be enabled.\n"),
              0u);
    const std::string strErr = Err("first");
    EXPECT_NE(strErr.find(kNeedsDesktop), std::string::npos);
    EXPECT_NE(strErr.find(strHive), std::string::npos);  // says where to configure instead
    EXPECT_NE(strErr.find(dir.File("tarnwk.cfg")), std::string::npos);
}

TEST_F(CStartupFixture, OnNtEveryWordIsForwardedToTarnwk32) {
    WriteHive("\"EnableLogging\"=\"1\"\n");
    const std::string strStub = dir.File("Tarnwk32");
    WriteFileBytes(strStub,
                   "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" > args.tmp\n"
                   "mv args.tmp args.txt\n");
    chmod(strStub.c_str(), 0755);
    const std::vector<std::string> nt{"TARNWICK_PLATFORM=nt"};

    EXPECT_EQ(Run("nt", {"stop", "/config", "Foo", "-service"}, nt), 0);
    ASSERT_TRUE(WaitFor([&] { return !ReadFileBytes(dir.File("args.txt")).empty(); }));
    EXPECT_EQ(ReadFileBytes(dir.File("args.txt")),
              "1|STOP CONFIG FOO SERVICE|");  // one argument, not waited for
    EXPECT_EQ(Err("nt"), "Tarnwick: Tarnwk Service Stopped.\n" + kUsageBox);

    std::remove(dir.File("args.txt").c_str());
    EXPECT_EQ(Run("plain", {}, nt), 0);
    ASSERT_TRUE(WaitFor([&] { return !ReadFileBytes(dir.File("args.txt")).empty(); }));
    EXPECT_EQ(ReadFileBytes(dir.File("args.txt")), "0|");
    EXPECT_EQ(Log(), "");  // the gateway itself never ran

    std::remove(strStub.c_str());  // a missing companion is not reported
    EXPECT_EQ(Run("missing", {"uninstall"}, nt), 0);
    EXPECT_EQ(Err("missing"), "");
}

// SIGTERM ends the runs of the other tests and the end-to-end run; here SIGINT.
TEST_F(CStartupFixture, ForegroundRunEndsOnInterruptWithTheShutdownLines) {
    const int nPortIn = FreeTcpPort();
    WriteHive(HiveWithPortIn(nPortIn));
    CChildProcess gateway;
    ASSERT_TRUE(Start(gateway, "run", {"START"}));
    ASSERT_TRUE(WaitFor([&] { return InstanceAnswers(); }));
    ASSERT_TRUE(WaitForTcpListener(nPortIn, kDeadlineMs));
    // The probe's connection is logged by the listener thread, which may still write after the
    // shutdown line (it is stopped last): wait for it before the signal.
    ASSERT_TRUE(WaitFor([&] { return Log().find("127.0.0.1 Accepted") != std::string::npos; }));
    EXPECT_EQ(Log().find("Shutting Down"), std::string::npos);

    // The soft limit on descriptors was raised to the hard one.
    std::ifstream limits("/proc/" + std::to_string(gateway.Pid()) + "/limits");
    std::string strLine;
    while (std::getline(limits, strLine) && strLine.rfind("Max open files", 0) != 0) {
    }
    long nSoft = 0, nHard = 0;
    std::sscanf(strLine.c_str(), "Max open files %ld %ld", &nSoft, &nHard);
    EXPECT_GT(nSoft, 256);
    EXPECT_EQ(nSoft, nHard);

    gateway.Signal(SIGINT);
    EXPECT_EQ(gateway.Wait(kDeadlineMs), 0);
    const std::string strLog = Log();
    EXPECT_EQ(strLog.find(" : Starting Tarnwick\r\n"), 14u);  // the first line, after its stamp
    EXPECT_EQ(Count(strLog, " : Starting Tarnwick\r\n"), 1u);
    EXPECT_EQ(strLog.size() - strLog.rfind(kShutdownLines), kShutdownLines.size());
    EXPECT_FALSE(InstanceAnswers());
}

TEST_F(CStartupFixture, SecondInstanceReportsAndNudgesTheFirstButConfigDebugRunsBeside) {
    const int nPortIn = FreeTcpPort();
    WriteHive(HiveWithPortIn(nPortIn));
    CChildProcess first;
    ASSERT_TRUE(Start(first, "first", {}));
    ASSERT_TRUE(WaitFor([&] { return InstanceAnswers(); }));
    ASSERT_TRUE(WaitForTcpListener(nPortIn, kDeadlineMs));

    EXPECT_EQ(Run("second", {"-start"}), 0);
    EXPECT_EQ(Err("second"), "Error: Tarnwick Professional is Already Running\n");
    EXPECT_TRUE(WaitFor([&] { return Err("first").find("turned away") != std::string::npos; }));
    EXPECT_NE(Log().find(" : Tarnwick Professional is Already Running\r\n"), std::string::npos);

    // DEBUG skips the test: it runs beside the first, in a folder of its own for its log. With
    // CONFIG, the dialog's notice comes first.
    CTempDir other;
    CChildProcess debug;
    ASSERT_TRUE(Start(debug, "debug", {"CONFIG", "/debug"}, other.Path()));
    ASSERT_TRUE(
        WaitFor([&] { return Log(other.Path()).find("Starting Tarnwick") != std::string::npos; }));
    EXPECT_TRUE(debug.Running());
    debug.Signal(SIGTERM);
    EXPECT_EQ(debug.Wait(kDeadlineMs), 0);
    // It started no listener: one would have found PortIn taken by the first and reported it.
    EXPECT_EQ(ReadFileBytes(other.File("debug.err")).find("Error"), std::string::npos);
    EXPECT_EQ(Count(ReadFileBytes(other.File("debug.err")), kNeedsDesktop), 1u);
    EXPECT_EQ(Log(other.Path()).find("Listening"), std::string::npos);
    EXPECT_NE(Log(other.Path()).find(kShutdownLines), std::string::npos);
    EXPECT_TRUE(first.Running());
    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait(kDeadlineMs), 0);
}
