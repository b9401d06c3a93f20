// The tarnwk binary started headless in a temporary folder with its own hive: switches, the NT
// hand-off, the single-instance test, the foreground run's log lines and their priorities for the
// journal, and the settings check.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include "host/ProgramStart.h"
#include "platform/InstanceChannel.h"
#include "tests/support/GatewayHarness.h"
#include "tests/support/Rbldnsd.h"
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
    // JOURNAL_STREAM naming a run's output file as systemd names its stream: the file is made
    // before the run, which appends to it, so its inode is known.
    std::string JournalStreamNaming(const std::string& strName) {
        const std::string strFile = dir.File(strName);
        WriteFileBytes(strFile, "");
        struct stat info {};
        stat(strFile.c_str(), &info);
        return "JOURNAL_STREAM=" + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    }
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

// On a display tarnwk (built without Qt) hands itself over to the desktop program beside it: a
// display that cannot be opened is then no reason to abort, the run goes on headless. Without a
// desktop program (an executable one), tarnwk runs headless with a notice; the hand-over keeps
// the process and every word of the command line, and never happens with TARNWICK_HEADLESS=1.
TEST_F(CStartupFixture, OnADisplayTarnwkHandsOverToTheDesktopOrRunsHeadlessWithANotice) {
    WriteHive("\"EnableLogging\"=\"1\"\n");
    bHeadless = false;
    const std::vector<std::string> display{"DISPLAY=:4242", "WAYLAND_DISPLAY="};
    EXPECT_EQ(Run("nodisplay", {"CONFIG", "UNINSTALL"}, display), 0);
    std::string strErr = Err("nodisplay");
    EXPECT_NE(strErr.find("Tarnwick: the display \":4242\" cannot be opened; running without "
                          "windows, as with TARNWICK_HEADLESS=1.\n"),
              std::string::npos)
        << strErr;
    EXPECT_EQ(Count(strErr, kNeedsDesktop), 1u);  // and the dialog's headless notice

    // A copy of tarnwk beside a desktop program that is not executable (and a folder of that
    // name beside another copy), none installed.
    if (access(kInstalledDesktopProgram, X_OK) == 0)
        GTEST_SKIP() << kInstalledDesktopProgram << " is installed";
    namespace fs = std::filesystem;
    for (const std::string strFolder : {"folder", "alone"}) {
        fs::create_directory(dir.File(strFolder));
        strBinary = dir.File(strFolder + "/tarnwk");
        fs::copy_file(TARNWK_BINARY, strBinary);
        if (strFolder == "folder")
            fs::create_directory(dir.File("folder/tarnwk-desktop"));
        else
            WriteFileBytes(dir.File("alone/tarnwk-desktop"), "#!/bin/sh\nexit 0\n");
        EXPECT_EQ(Run(strFolder, {"CONFIG", "UNINSTALL"}, display), 0);
        strErr = Err(strFolder);
        EXPECT_EQ(strErr.find("Tarnwick: the display"), std::string::npos) << strErr;
        EXPECT_NE(strErr.find(std::string("Tarnwick: the desktop front end (") +
                              kInstalledDesktopProgram +
                              ", package tarnwick-gui) is not installed; running without "
                              "windows, as with TARNWICK_HEADLESS=1.\n"),
                  std::string::npos)
            << strErr;
        EXPECT_EQ(Count(strErr, kNeedsDesktop), 1u);
    }

    // An executable one gets this process and the command line as it was.
    WriteFileBytes(dir.File("alone/tarnwk-desktop"),
                   "#!/bin/sh\necho \"$$|$0|$*|$DISPLAY\" >handed-over\n");
    chmod(dir.File("alone/tarnwk-desktop").c_str(), 0755);
    CChildProcess child;
    ASSERT_TRUE(Start(child, "handed", {"-config", "two words"}, "", display));
    const pid_t pid = child.Pid();
    EXPECT_EQ(child.Wait(kDeadlineMs), 0);
    EXPECT_EQ(ReadFileBytes(dir.File("handed-over")), std::to_string(pid) + "|" +
                                                          dir.File("alone/tarnwk-desktop") +
                                                          "|-config two words|:4242\n");
    fs::remove(dir.File("handed-over"));
    bHeadless = true;
    EXPECT_EQ(Run("headless", {"UNINSTALL"}, display), 0);
    EXPECT_FALSE(fs::exists(dir.File("handed-over")));
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

namespace {
using HiveValues = std::vector<std::pair<std::string, std::optional<std::string>>>;

// One value of a hive as an administrator might write it (nullopt: left out), and what CHECK
// says of it, after the value's name.
struct CCheckedValue {
    std::string strName;
    std::optional<std::string> text;
    std::string strProblem;
};

std::string HiveText(const HiveValues& values) {
    std::string strText;
    for (const auto& [strName, text] : values)
        if (text) strText += "\"" + strName + "\"=\"" + *text + "\"\n";
    return strText;
}

// The good values with the round's ones put in their place (or added).
HiveValues WithValues(HiveValues values, const std::vector<CCheckedValue>& round) {
    for (const CCheckedValue& changed : round) {
        auto it = std::find_if(values.begin(), values.end(),
                               [&](const auto& value) { return value.first == changed.strName; });
        if (it == values.end())
            values.emplace_back(changed.strName, changed.text);
        else
            it->second = changed.text;
    }
    return values;
}

std::set<std::string> Lines(const std::string& strText) {
    std::set<std::string> lines;
    std::istringstream stream(strText);
    for (std::string strLine; std::getline(stream, strLine);) lines.insert(strLine);
    return lines;
}

std::set<std::string> FolderEntries(const std::string& strFolder) {
    std::set<std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator(strFolder))
        entries.insert(entry.path().filename());
    return entries;
}
}  // namespace

// CHECK loads the hive as start-up does and names each bad value on a line of its own; it binds
// nothing (the ports it names are held by this test), writes nothing (logging is on), and never
// tries the display it is given. Each round is one hive: the good values with the round's in
// their place.
TEST_F(CStartupFixture, CheckNamesEveryBadValueAndTouchesNothing) {
    const int nPortIn = FreeTcpPort(), nMetricsPort = FreeTcpPort();
    const int fdPortIn = TakeTcpPort(nPortIn), fdMetrics = TakeTcpPort(nMetricsPort);
    ASSERT_GE(fdPortIn, 0);
    ASSERT_GE(fdMetrics, 0);
    const HiveValues good{{"RunAsService", "0"},
                          {"EnableLogging", "1"},
                          {"LogFileName", ""},
                          {"PortIn", std::to_string(nPortIn)},
                          {"PortOut", "2526"},
                          {"MailServer", "::1"},
                          {"DNSBL_0", "+bl.test=127.0.0.[2..11]*2"},
                          {"DNSBL_1", "-zen.example."},
                          {"DNSBL_Servers", "2"},
                          {"Exclusion_0", "+127.0.0.0/8"},
                          {"Exclusion_1", "+2001:db8::/48"},
                          {"Exclusions", "2"},
                          {"MetricsPort", std::to_string(nMetricsPort)},
                          {"MetricsAddress", "127.0.0.1"},
                          {"ConcurrentScreening", "1"},
                          {"ProxyFrom", "192.0.2.10, 192.0.2.32/28, 2001:db8::/32"},
                          {"MonitorFrom", "127.0.0.1, ::1"},
                          {"DnsblThreshold", "2"},
                          {"ZoneCheckMinutes", "0"},
                          {"DnsblCacheSeconds", "300"},
                          {"ListenV6", "1"},
                          {"ProxyTo", "2"},
                          {"GreetWait", "5"},
                          {"GreetPassHours", "48"},
                          {"ClientConnectionLimit", "10"},
                          {"ClientConnectionRate", "60"},
                          {"DeferOnDnsFailure", "1"}};
    const std::string strMissing = dir.File("missing");
    const std::vector<std::vector<CCheckedValue>> rounds{
        {},
        {{"PortIn", "0", "\"0\" is not a port (1 to 65535)"},
         {"PortOut", "25x", "\"25x\" is not a port (1 to 65535)"},
         {"MailServer", "mx.invalid", "\"mx.invalid\" does not resolve to an IPv4 address"},
         {"EnableLogging", "yes", "\"yes\" is neither \"0\" nor \"1\", so it is off"},
         {"DNSBL_0", "+bl..test", "\"bl..test\" is not a DNS name"},
         {"DNSBL_1", "zen.example",
          "\"zen.example\" starts with neither \"+\" (active) nor \"-\" (disabled), and its "
          "first character is dropped"},
         {"Exclusion_0", "+192.0.2.010",
          "\"192.0.2.010\" is not an IPv4 address, so no client matches it"},
         {"MetricsPort", "65536",
          "\"65536\" is not a port (1 to 65535), nor 0 for no endpoint, so the endpoint is not "
          "opened"},
         {"MetricsAddress", "localhost", "\"localhost\" is not an IPv4 address"},
         {"ConcurrentScreening", "2", "\"2\" is neither \"0\" nor \"1\", so it is on"},
         {"Exclusion_1", "+2001:db8::1/48",
          "\"2001:db8::1/48\": the address has bits set beyond the prefix length (the network is "
          "2001:db8::/48), so it excludes nothing"},
         // The load reports this one too: the line comes once.
         {"ProxyFrom", "192.0.2.10, 2001:db8::g1",
          "\"2001:db8::g1\" is not an IPv6 address and is ignored."},
         {"MonitorFrom", "localhost", "\"localhost\" is not an IPv4 address and is ignored."},
         {"DnsblThreshold", "0", "\"0\" is not a whole number of 1 or more, so the threshold is 1"},
         {"ZoneCheckMinutes", "-5",
          "\"-5\" is not a whole number of 0 or more, so the zones are never tested"},
         {"DnsblCacheSeconds", "1.5",
          "\"1.5\" is not a whole number of 0 or more, so answers are kept for at most 1 second"},
         {"ListenV6", "true", "\"true\" is neither \"0\" nor \"1\", so it is off"},
         {"ProxyTo", "v2",
          "\"v2\" is neither \"1\" nor \"2\" (nor \"0\" for no header), so no header is sent"}},
        {{"PortIn", "", "\"\" is not a port (1 to 65535)"},
         {"MailServer", std::nullopt, "empty: there is no mail server to relay to"},
         {"DNSBL_0", "+", "holds no zone, so it is skipped"},
         {"DNSBL_1", "+" + std::string(99, 'z'), "longer than 99 characters, so it is skipped"},
         {"DNSBL_2", "+late.test", "never read, as DNSBL_Servers is 2"},
         {"Exclusions", "one", "\"one\" is not a count (a whole number, 0 or more)"},
         {"Exclusion_0", "+127.0.0.1", "never read, as Exclusions is 0"},
         {"Exclusion_1", "+2001:db8::/48", "never read, as Exclusions is 0"},
         {"LogFileName", strMissing + "/tarnwk.log",
          "the folder \"" + strMissing + "\" of \"" + strMissing +
              "/tarnwk.log\" cannot be written (No such file or directory)"}},
        {{"DNSBL_0", "+zen.test=127.0.0.[2..300]",
          "\"zen.test=127.0.0.[2..300]\": \"300\" in the filter is not a number from 0 to 255, "
          "so the entry is not asked"},
         {"Exclusion_0", "+192.0.2.1/24",
          "\"192.0.2.1/24\": the address has bits set beyond the prefix length (the network is "
          "192.0.2.0/24), so it excludes nothing"},
         {"MonitorFrom", "127.0.0.1/8",
          "\"127.0.0.1/8\": the address has bits set beyond the prefix length (the network is "
          "127.0.0.0/8); it is ignored."}},
        // A number the load reads in part (as atol does: "5x" is 5) is named with what the
        // gateway makes of it.
        {{"ZoneCheckMinutes", "5x",
          "\"5x\" is not a whole number of 0 or more, so every active zone is tested every 5 "
          "minutes"},
         {"DnsblThreshold", "2.5",
          "\"2.5\" is not a whole number of 1 or more, so the threshold is 2"},
         {"DnsblCacheSeconds", "+60",
          "\"+60\" is not a whole number of 0 or more, so answers are kept for at most 60 seconds"},
         {"MetricsPort", std::to_string(nMetricsPort) + "x",
          "\"" + std::to_string(nMetricsPort) +
              "x\" is not a port (1 to 65535), nor 0 for no endpoint, so the endpoint listens on "
              "port " +
              std::to_string(nMetricsPort)},
         {"ProxyTo", "1x",
          "\"1x\" is neither \"1\" nor \"2\" (nor \"0\" for no header), so a version 1 header "
          "is sent"},
         {"ListenV6", "2", "\"2\" is neither \"0\" nor \"1\", so it is on"},
         {"ConcurrentScreening", " 1", "\" 1\" is neither \"0\" nor \"1\", so it is on"},
         {"GreetWait", "301",
          "\"301\" is not a number of seconds from 0 to 300, so a new client waits 300 seconds"},
         {"GreetPassHours", "-1",
          "\"-1\" is not a whole number of 0 or more, so every connection waits"},
         {"ClientConnectionLimit", "10x",
          "\"10x\" is not a whole number of 0 or more, so a client may hold 10 connections at "
          "once"},
         {"ClientConnectionRate", "1.5",
          "\"1.5\" is not a whole number of 0 or more, so a client may open 1 connection a "
          "minute"},
         {"DeferOnDnsFailure", "yes", "\"yes\" is neither \"0\" nor \"1\", so it is off"}},
    };
    bHeadless = false;
    // The zone tests that ZoneCheckMinutes turns on are shown with rbldnsd below.
    const std::vector<std::string> display{"DISPLAY=:4242",
                                           "WAYLAND_DISPLAY=", "TARNWICK_CHECK_ZONES=0"};
    for (size_t nRound = 0; nRound < rounds.size(); ++nRound) {
        WriteHive(HiveText(WithValues(good, rounds[nRound])));
        const std::string strHiveBefore = ReadFileBytes(strHive);
        const std::string strRun = "check" + std::to_string(nRound);
        std::set<std::string> expected;
        for (const CCheckedValue& value : rounds[nRound])
            expected.insert(value.strName + ": " + value.strProblem);
        EXPECT_EQ(Run(strRun, {nRound % 2 ? "-check" : "CHECK"}, display),
                  expected.empty() ? 0 : 1);
        EXPECT_EQ(Lines(Err(strRun)), expected) << Err(strRun);
        EXPECT_EQ(Count(Err(strRun), "\n"), expected.size()) << Err(strRun);
        const std::string strSummary =
            expected.empty() ? " hold no problem.\n"
                             : " hold " + std::to_string(expected.size()) + " problems.\n";
        EXPECT_EQ(Out(strRun), "Tarnwick: the settings in " + strHive + strSummary);
        EXPECT_EQ(ReadFileBytes(strHive), strHiveBefore);
    }
    // No log, no dump, no hive written anew beside the old: only the runs' own output.
    std::set<std::string> entries{"registry.reg"};
    for (size_t nRound = 0; nRound < rounds.size(); ++nRound)
        for (const char* pszEnd : {".out", ".err"})
            entries.insert("check" + std::to_string(nRound) + pszEnd);
    EXPECT_EQ(FolderEntries(dir.Path()), entries);
    close(fdPortIn);
    close(fdMetrics);
}

// What the load itself finds: a hive that does not parse, no settings at all, and the settings
// file read while the hive has no key (its items named as the hive would name them).
TEST_F(CStartupFixture, CheckReportsWhatTheLoadFindsAndChecksTheSettingsFile) {
    WriteFileBytes(strHive, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenfield\\Tarnwick]\n\"P");
    EXPECT_EQ(Run("broken", {"check"}), 1);
    EXPECT_EQ(Err("broken"), strHive + ": Unable to open Tarnwick registry key. Error 1009\n");

    std::remove(strHive.c_str());
    EXPECT_EQ(Run("none", {"check"}), 1);
    EXPECT_EQ(Err("none"), strHive + ": holds no settings key, and there is no " +
                               dir.File("tarnwk.cfg") + ": the gateway would run with defaults\n");

    WriteFileBytes(dir.File("tarnwk.cfg"),
                   "MailServer=127.0.0.1\nPortOut=25\nPortIn=99999\nServers:\n+bl.test\n"
                   "-bad zone\nExclusions:\n+192.0.2.1\n");
    EXPECT_EQ(Run("file", {"check"}), 1);
    EXPECT_EQ(Err("file"),
              "PortIn: \"99999\" is not a port (1 to 65535)\n"
              "DNSBL_1: \"bad zone\" is not a DNS name\n");
    EXPECT_EQ(Out("file"),
              "Tarnwick: the settings in " + dir.File("tarnwk.cfg") + " hold 2 problems.\n");
    EXPECT_EQ(Log(), "");

    // With ZoneCheckMinutes on, each active zone takes the zone test (a disabled one is not
    // asked); TARNWICK_CHECK_ZONES=0, as the service runs it, leaves the zones out.
    CRbldnsd dnsbl;
    dnsbl.AddZone("good.test", {"127.0.0.2"});
    dnsbl.AddZone("all.test", {"127.0.0.1", "127.0.0.2"});
    dnsbl.AddZone("off.test", {"127.0.0.1"});
    ASSERT_TRUE(dnsbl.Start()) << dnsbl.Output();
    std::remove(dir.File("tarnwk.cfg").c_str());
    const std::string strZones =
        "\"MailServer\"=\"127.0.0.1\"\n\"DNSBL_0\"=\"+good.test\"\n"
        "\"DNSBL_1\"=\"+all.test=127.0.0.[2..11]*2\"\n\"DNSBL_2\"=\"-off.test\"\n"
        "\"DNSBL_Servers\"=\"3\"\n";
    WriteHive(strZones + "\"ZoneCheckMinutes\"=\"5\"\n");
    const std::string strServer = "TARNWICK_NAMESERVERS=" + dnsbl.Nameserver();
    EXPECT_EQ(Run("zones", {"check"}, {strServer}), 1);
    EXPECT_EQ(Err("zones"),
              "DNSBL \"all.test\": the zone test fails (Lists 127.0.0.1), so the gateway would "
              "suspend the zone\n");
    const std::vector<std::string> asked = dnsbl.QueriedNames();
    EXPECT_EQ(std::set<std::string>(asked.begin(), asked.end()),
              (std::set<std::string>{"2.0.0.127.good.test", "1.0.0.127.good.test",
                                     "2.0.0.127.all.test", "1.0.0.127.all.test"}));
    EXPECT_EQ(Run("zones_left_out", {"check"}, {strServer, "TARNWICK_CHECK_ZONES=0"}), 0);
    EXPECT_EQ(dnsbl.QueriedNames().size(), asked.size());
    // "5x" is read as the load reads it: 5, so the zones are tested.
    WriteHive(strZones + "\"ZoneCheckMinutes\"=\"5x\"\n");
    EXPECT_EQ(Run("zones_5x", {"check"}, {strServer}), 1);
    EXPECT_EQ(Err("zones_5x"),
              "ZoneCheckMinutes: \"5x\" is not a whole number of 0 or more, so every active zone "
              "is tested every 5 minutes\n"
              "DNSBL \"all.test\": the zone test fails (Lists 127.0.0.1), so the gateway would "
              "suspend the zone\n");

    // TARNWICK_NAMESERVERS is read by the code that makes the gateway's resolver: a list it
    // cannot use (every query would fail, and nobody would be rejected) is named, whatever the
    // hive holds; a list it can use, of one server or several, IPv6 ones too, or none, is not.
    WriteHive(strZones);
    for (const std::string& strServers :
         std::vector<std::string>{"127.0.0.1;5353", "localhost:53", "127.0.0.1:x", ",",
                                  "127.0.0.1 " + dnsbl.Nameserver()}) {
        EXPECT_EQ(Run("servers", {"check"}, {"TARNWICK_NAMESERVERS=" + strServers}), 1);
        EXPECT_EQ(Err("servers"), "TARNWICK_NAMESERVERS: \"" + strServers +
                                      "\" cannot be read as nameservers (address:port, separated "
                                      "by commas): Misformatted string, so every DNSBL query "
                                      "fails and no client is listed\n");
    }
    for (const std::string& strServers :
         std::vector<std::string>{dnsbl.Nameserver(), "[::1]:53," + dnsbl.Nameserver(),
                                  std::string("::1"), std::string()}) {
        EXPECT_EQ(Run("servers_read", {"check"}, {"TARNWICK_NAMESERVERS=" + strServers}), 0);
        EXPECT_EQ(Err("servers_read"), "") << strServers;
    }
}

// Under systemd, standard output and error are the journal's stream, which JOURNAL_STREAM names
// ("device:inode"): each activity line then carries the info priority and each report the error
// priority, as the journal reads them. A stream the variable does not name, or no variable,
// gets its lines as they were. Here each output file is named in turn, then the check's.
TEST_F(CStartupFixture, LinesForTheJournalCarryTheirPriority) {
    const int nPortIn = FreeTcpPort();
    // Nothing listens on the mail server's port, so the probe's relay fails with a report.
    WriteHive(HiveWithPortIn(nPortIn) + "\"MailServer\"=\"127.0.0.1\"\n\"PortOut\"=\"" +
              std::to_string(FreeTcpPort()) + "\"\n");
    const struct {
        std::string strRun, strNamed, strOutPrefix, strErrPrefix;
    } cases[] = {{"none", "", "", ""},
                 {"stdout", ".out", "<6>", ""},
                 {"stderr", ".err", "", "<3>"},
                 {"other", "1:1", "", ""}};
    for (const auto& c : cases) {
        std::vector<std::string> environment;
        if (c.strNamed == ".out" || c.strNamed == ".err")
            environment.push_back(JournalStreamNaming(c.strRun + c.strNamed));
        else if (!c.strNamed.empty())
            environment.push_back("JOURNAL_STREAM=" + c.strNamed);
        CChildProcess gateway;
        ASSERT_TRUE(Start(gateway, c.strRun, {}, "", environment));
        ASSERT_TRUE(WaitForTcpListener(nPortIn, kDeadlineMs));
        // An activity line begins with its stamp, after the prefix (checked below).
        const std::string strAccepted = " : Connection from 127.0.0.1 Accepted\n";
        const std::string strReport =
            c.strErrPrefix + "Error: Could not connect to Mail Server Error 111\n";
        EXPECT_TRUE(WaitFor([&] { return Out(c.strRun).find(strAccepted) != std::string::npos; }))
            << c.strRun << ": " << Out(c.strRun);
        EXPECT_TRUE(WaitFor([&] { return Err(c.strRun).find(strReport) != std::string::npos; }))
            << c.strRun << ": " << Err(c.strRun);
        gateway.Signal(SIGTERM);
        EXPECT_EQ(gateway.Wait(kDeadlineMs), 0);
        // Every line has its prefix, and only the named stream's.
        for (const auto& [strText, strPrefix] :
             {std::pair{Out(c.strRun), c.strOutPrefix}, std::pair{Err(c.strRun), c.strErrPrefix}}) {
            std::istringstream lines(strText);
            for (std::string strLine; std::getline(lines, strLine);) {
                if (strPrefix.empty())
                    EXPECT_NE(strLine.front(), '<') << c.strRun << ": " << strLine;
                else
                    EXPECT_EQ(strLine.rfind(strPrefix, 0), 0u) << c.strRun << ": " << strLine;
            }
        }
    }
    // The check the unit runs before a start: each problem is a report there.
    WriteHive("\"PortIn\"=\"0\"\n\"MailServer\"=\"127.0.0.1\"\n");
    EXPECT_EQ(Run("check", {"CHECK"}, {JournalStreamNaming("check.err")}), 1);
    EXPECT_EQ(Err("check"), "<3>PortIn: \"0\" is not a port (1 to 65535)\n");
}
