// End to end: the tarnwk binary started headless in a temporary folder with a hive, rbldnsd as
// its DNSBL server, aiosmtpd as the mail server behind it, and real clients on loopback
// addresses of their own (127.0.0.2 is listed, 127.0.0.3 is not).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "platform/InstanceChannel.h"
#include "tests/support/GatewayHarness.h"
#include "tests/support/MailServer.h"
#include "tests/support/RawPeer.h"
#include "tests/support/Rbldnsd.h"
#include "tests/support/TarnwkRun.h"

namespace {
const std::string kRejectLine =
    "550 - Tarnwick: Your Server is Blacklisted. Check mail server blacklists for removal "
    "information\n";

struct CGatewayRunFixture : ::testing::Test, CTarnwkFolder {
    int nPortIn = FreeTcpPort();
    CChildProcess gateway;

    void WriteHive(int nPortOut, const std::string& strZones) {
        CTarnwkFolder::WriteHive(
            "\"EnableLogging\"=\"1\"\n\"MailServer\"=\"127.0.0.1\"\n\"PortIn\"=\"" +
            std::to_string(nPortIn) + "\"\n\"PortOut\"=\"" + std::to_string(nPortOut) + "\"\n" +
            strZones);
    }
    std::string Err() { return CTarnwkFolder::Err("tarnwk"); }
};
}  // namespace

TEST_F(CGatewayRunFixture, ListedClientsAreRejectedOthersRelayedAndTheLogTellsAll) {
    CRbldnsd dnsbl;
    dnsbl.AddZone("bl.test", {"127.0.0.2"});
    dnsbl.AddZone("clean.test", {});
    ASSERT_TRUE(dnsbl.Start()) << dnsbl.Output();
    CMailServer mail;
    ASSERT_TRUE(mail.StartAiosmtpd());
    WriteHive(mail.Port(),
              "\"DNSBL_0\"=\"+bl.test\"\n\"DNSBL_1\"=\"+clean.test\"\n\"DNSBL_Servers\"=\"2\"\n");
    ASSERT_TRUE(Start(gateway, "tarnwk", {}, "", {"TARNWICK_NAMESERVERS=" + dnsbl.Nameserver()}));
    // The pane exists once the control window answers; a verdict before that reaches the log
    // file only.
    ASSERT_TRUE(WaitUntil([&] { return CInstanceChannel("Tarnwick Professional", strHive).Find(); },
                          kDeadlineMs))
        << Err();
    ASSERT_TRUE(WaitForTcpListener(nPortIn, kDeadlineMs)) << Err();

    CRawClient listed;
    ASSERT_TRUE(listed.Connect(nPortIn, "127.0.0.2"));
    ASSERT_TRUE(listed.ReadUntilClosed(kDeadlineMs));
    EXPECT_EQ(listed.m_strReceived, kRejectLine);

    CChildProcess swaks;
    ASSERT_TRUE(swaks.Start({"swaks", "--server", "127.0.0.1", "--port", std::to_string(nPortIn),
                             "--local-interface", "127.0.0.3", "--from", "sender@example.org",
                             "--to", "someone@example.org", "--body", "relayed through tarnwick"},
                            "", {}, dir.File("swaks.txt")));
    EXPECT_EQ(swaks.Wait(kDeadlineMs), 0) << ReadFileBytes(dir.File("swaks.txt"));
    EXPECT_TRUE(WaitUntil(
        [&] { return mail.Output().find("relayed through tarnwick") != std::string::npos; }));

    gateway.Signal(SIGTERM);
    EXPECT_EQ(gateway.Wait(kDeadlineMs), 0);
    const std::string strLog = Log();
    const size_t nStart = strLog.find(" : Starting Tarnwick\r\n");
    const size_t nFound = strLog.find(" : 127.0.0.2 Found in bl.test\r\n");
    const size_t nRejected =
        strLog.find(" : Connection from 127.0.0.2 Rejected (Blacklist Listings: 1)\r\n");
    const size_t nAccepted = strLog.find(" : Connection from 127.0.0.3 Accepted\r\n");
    ASSERT_NE(nStart, std::string::npos) << strLog;
    ASSERT_NE(nFound, std::string::npos) << strLog;
    ASSERT_NE(nRejected, std::string::npos) << strLog;
    ASSERT_NE(nAccepted, std::string::npos) << strLog;
    EXPECT_LT(nStart, nFound);
    EXPECT_LT(nFound, nRejected);
    EXPECT_LT(nRejected, nAccepted);
    EXPECT_EQ(strLog.find("Found in clean.test"), std::string::npos);
    EXPECT_EQ(strLog.size() - strLog.rfind(kShutdownLines), kShutdownLines.size());
    // The log pane's entries went to standard output as they came.
    EXPECT_NE(Out("tarnwk").find(" : Connection from 127.0.0.2 Rejected (Blacklist Listings: 1)\n"),
              std::string::npos);
    EXPECT_NE(Out("tarnwk").find(" : Connection from 127.0.0.3 Accepted\n"), std::string::npos);
    EXPECT_EQ(Err(), "");
}

TEST_F(CGatewayRunFixture, PortInTakenEndsWithTheReportTheShutdownLinesAndAFailureStatus) {
    const int fdTaken = TakeTcpPort(nPortIn);
    ASSERT_GE(fdTaken, 0);
    WriteHive(FreeTcpPort(), "");
    ASSERT_TRUE(Start(gateway, "tarnwk", {}));
    EXPECT_EQ(gateway.Wait(kDeadlineMs), 1);
    close(fdTaken);
    EXPECT_EQ(Err(), "Error: Creating Listening Socket Error 98\n\n");
    const std::string strLog = Log();
    const size_t nStart = strLog.find(" : Starting Tarnwick\r\n");
    const size_t nReport = strLog.find(" : Creating Listening Socket Error 98\n\r\n");
    ASSERT_NE(nStart, std::string::npos) << strLog;
    ASSERT_NE(nReport, std::string::npos) << strLog;
    EXPECT_LT(nStart, nReport);
    EXPECT_EQ(strLog.size() - strLog.rfind(kShutdownLines), kShutdownLines.size());
}

// One busy client address within a minute gives identical entries; each is printed all the
// same, in order. Standard output that nobody reads (a pipe left full) holds nobody: the listener
// takes and logs every client meanwhile, the lines come once it is read, and SIGTERM still ends
// the run at once.
TEST_F(CGatewayRunFixture, EveryPaneEntryReachesStandardOutputAlsoWhenRepeatedOrLateToBeRead) {
    CMailServer mail;
    ASSERT_TRUE(mail.StartSink());
    WriteHive(mail.Port(), "");
    const std::regex accepted(" : Connection from 127\\.0\\.0\\.1 Accepted\r?\n");
    auto count = [&](const std::string& strText) {
        return std::distance(std::sregex_iterator(strText.begin(), strText.end(), accepted),
                             std::sregex_iterator());
    };
    for (bool bPipe : {false, true}) {
        SCOPED_TRACE(bPipe ? "an unread pipe" : "a file");
        const std::string strRun = bPipe ? "piped" : "filed";
        int fdPipe = -1;  // the reading end, read only at the end
        if (bPipe) {
            ASSERT_EQ(mkfifo(dir.File(strRun + ".out").c_str(), 0600), 0);
            fdPipe = open(dir.File(strRun + ".out").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
        std::remove(dir.File("Tarnwk.log").c_str());
        CChildProcess run;
        ASSERT_TRUE(Start(run, strRun, {}));
        ASSERT_TRUE(
            WaitUntil([&] { return CInstanceChannel("Tarnwick Professional", strHive).Find(); },
                      kDeadlineMs));
        constexpr int kClients = 2000;  // more lines than a pipe holds
        // The first once the listener listens, which may be a moment after the control window.
        ASSERT_TRUE(WaitUntil([&] { return CRawClient().Connect(nPortIn); }, kDeadlineMs));
        for (int i = 1; i < kClients; ++i) ASSERT_TRUE(CRawClient().Connect(nPortIn));
        EXPECT_TRUE(WaitUntil([&] { return count(Log()) == kClients; }, kDeadlineMs))
            << count(Log());
        std::string strOut;
        auto printed = [&] {
            if (!bPipe) return count(strOut = Out(strRun));
            char buffer[65536];
            for (ssize_t n; (n = read(fdPipe, buffer, sizeof buffer)) > 0;)
                strOut.append(buffer, static_cast<size_t>(n));
            return count(strOut);
        };
        EXPECT_TRUE(WaitUntil([&] { return printed() == kClients; }, kDeadlineMs)) << printed();
        EXPECT_EQ(strOut.find("Tarnwick: "), std::string::npos);  // nothing left out
        run.Signal(SIGTERM);
        EXPECT_EQ(run.Wait(kDeadlineMs), 0);
        if (fdPipe >= 0) close(fdPipe);
    }
}
