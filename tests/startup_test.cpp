// The tarnwk binary started headless in a temporary folder with its own hive: switches, the NT
// hand-off, the single-instance test and the foreground run's log lines.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/InstanceChannel.h"
#include "tests/support/GatewayHarness.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace {
constexpr int kDeadlineMs = 20000;
const std::string kUsageBox =
    "Message: Tarnwick Usage:\n\tTarnwk\t\t\tRun Tarnwick\n\tTarnwk -config\t\tConfigure "
    "Settings\n\tTarnwk -uninstall\t\tUninstall Service\n\tTarnwk -Stop\t\tStop Service\n";
const std::string kNeedsDesktop = "the configuration dialog needs a desktop";
const std::string kShutdownLines = " : Shutting Down Tarnwick\r\n" + std::string(56, '-') + "\r\n";

size_t Count(const std::string& strText, const std::string& strPart) {
    size_t nCount = 0;
    for (size_t nPos = strText.find(strPart); nPos != std::string::npos;
         nPos = strText.find(strPart, nPos + 1))
        ++nCount;
    return nCount;
}

bool WaitFor(const std::function<bool()>& condition) { return WaitUntil(condition, kDeadlineMs); }

// One folder with a hive; each run of the binary in it (or in a folder beside it) writes its
// standard output and error to files named after the run.
struct CStartupFixture : ::testing::Test {
    CTempDir dir;
    std::string strHive = dir.File("registry.reg");

    void WriteHive(const std::string& strValues = "\"EnableLogging\"=\"1\"\n") {
        WriteFileBytes(
            strHive, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenfield\\Tarnwick]\n" + strValues);
    }

    void Start(CChildProcess& child, const std::string& strRun,
               const std::vector<std::string>& args, const std::string& strFolder = "",
               std::vector<std::string> environment = {}) {
        const std::string strCwd = strFolder.empty() ? dir.Path() : strFolder;
        std::vector<std::string> argv{
            "sh", "-c", "ulimit -Sn 256; exec \"$0\" \"$@\" 2>" + strRun + ".err", TARNWK_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        environment.push_back("TARNWICK_REGISTRY=" + strHive);
        environment.push_back("TARNWICK_HEADLESS=1");
        ASSERT_TRUE(child.Start(argv, strCwd, environment, strCwd + "/" + strRun + ".out"));
    }

    // Runs to the end; the exit status.
    int Run(const std::string& strRun, const std::vector<std::string>& args,
            std::vector<std::string> environment = {}) {
        CChildProcess child;
        Start(child, strRun, args, "", std::move(environment));
        return child.Wait(kDeadlineMs);
    }

    std::string Err(const std::string& strRun) { return ReadFileBytes(dir.File(strRun + ".err")); }
    std::string Out(const std::string& strRun) { return ReadFileBytes(dir.File(strRun + ".out")); }
    std::string Log(const std::string& strFolder = "") {
        return ReadFileBytes((strFolder.empty() ? dir.Path() : strFolder) + "/Tarnwk.log");
    }
    bool InstanceAnswers() { return CInstanceChannel("Tarnwick Professional", strHive).Find(); }
};
}  // namespace

TEST_F(CStartupFixture, SwitchesAreReadBareOrAfterDashOrSlashInAnyCase) {
    WriteHive();
    int nRun = 0;
    for (const char* pConfig : {"config", "-CONFIG", "/Config", "cOnFiG"}) {
        const std::string strRun = "run" + std::to_string(nRun++);
        EXPECT_EQ(Run(strRun, {pConfig, "/uninstall"}), 0);
        EXPECT_EQ(Count(Err(strRun), kNeedsDesktop), 1u) << pConfig;
        EXPECT_EQ(Count(Err(strRun), "Usage"), 0u) << pConfig;
    }
    // Two dashes leave "-config": unrecognised, so usage and the end, with no dialog.
    EXPECT_EQ(Run("dashes", {"--config"}), 0);
    EXPECT_EQ(Err("dashes"), kUsageBox);
    // Every unrecognised word gets its box; the words after it are still read.
    EXPECT_EQ(Run("several", {"foo", "-config", "bar", "baz"}), 0);
    EXPECT_EQ(Count(Err("several"), kUsageBox), 3u);
    EXPECT_EQ(Count(Err("several"), kNeedsDesktop), 0u);
    // STOP and UNINSTALL end quietly.
    EXPECT_EQ(Run("stop", {"stop"}), 0);
    EXPECT_EQ(Run("uninstall", {"-Uninstall", "service"}), 0);
    EXPECT_EQ(Err("stop") + Out("stop") + Err("uninstall") + Out("uninstall"), "");
    EXPECT_EQ(Log(), "");  // nothing ran
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
    WriteHive();
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

TEST_F(CStartupFixture, ForegroundRunEndsOnSignalWithTheShutdownLines) {
    const int nPortIn = FreeTcpPort();
    WriteHive("\"EnableLogging\"=\"1\"\n\"PortIn\"=\"" + std::to_string(nPortIn) + "\"\n");
    for (int nSignal : {SIGTERM, SIGINT}) {
        std::remove(dir.File("Tarnwk.log").c_str());
        CChildProcess gateway;
        Start(gateway, "run", {"START"});
        ASSERT_TRUE(WaitFor([&] { return InstanceAnswers(); }));
        ASSERT_TRUE(WaitForTcpListener(nPortIn, kDeadlineMs));
        // The probe's connection is logged by the listener thread, which may still write after
        // the shutdown line (it is stopped last): wait for it before the signal.
        ASSERT_TRUE(WaitFor([&] { return Log().find("127.0.0.1 Accepted") != std::string::npos; }));
        EXPECT_NE(Log().find(" : Starting Tarnwick\r\n"), std::string::npos);
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

        gateway.Signal(nSignal);
        EXPECT_EQ(gateway.Wait(kDeadlineMs), 0);
        const std::string strLog = Log();
        EXPECT_EQ(Count(strLog, " : Starting Tarnwick\r\n"), 1u);
        EXPECT_EQ(strLog.size() - strLog.rfind(kShutdownLines), kShutdownLines.size());
        EXPECT_FALSE(InstanceAnswers());
    }
}

TEST_F(CStartupFixture, SecondInstanceReportsAndNudgesTheFirstButConfigDebugRunsBeside) {
    const int nPortIn = FreeTcpPort();
    WriteHive("\"EnableLogging\"=\"1\"\n\"PortIn\"=\"" + std::to_string(nPortIn) + "\"\n");
    CChildProcess first;
    Start(first, "first", {});
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
    Start(debug, "debug", {"CONFIG", "/debug"}, other.Path());
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
