// End to end: the tarnwk binary headless, reloaded with SIGHUP while a relay runs through it,
// with rbldnsd as its DNSBL server, an echo server as the mail server, and clients on loopback
// addresses of their own (127.0.0.4 is listed only in a zone the reload adds).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "tests/support/Process.h"
#include "tests/support/RawPeer.h"
#include "tests/support/Rbldnsd.h"
#include "tests/support/TarnwkRun.h"
#include "tests/support/Wait.h"

namespace {
// 127.0.0.4 connects to nPort and is rejected.
void ExpectRejected(int nPort) {
    CRawClient listed;
    ASSERT_TRUE(listed.Connect(nPort, "127.0.0.4"));
    EXPECT_TRUE(listed.ReadUntilClosed());
    EXPECT_EQ(listed.m_strReceived,
              "550 - Tarnwick: Your Server is Blacklisted. Check mail "
              "server blacklists for removal information\n");
}
}  // namespace

TEST(Reload, SighupTakesTheHiveIntoUseWhileRelaysFlowAndABrokenHiveChangesNothing) {
    CRbldnsd dnsbl;
    dnsbl.AddZone("bl.test", {"127.0.0.2"});
    dnsbl.AddZone("new.test", {"127.0.0.4"});
    ASSERT_TRUE(dnsbl.Start()) << dnsbl.Output();
    CRawServer mail;
    ASSERT_TRUE(mail.Start(EchoUntilClosed));
    CTarnwkFolder run;
    auto writeHive = [&](int nPortIn, int nMetricsPort, const std::string& strZones) {
        run.WriteHive("\"EnableLogging\"=\"1\"\n\"MailServer\"=\"127.0.0.1\"\n\"PortOut\"=\"" +
                      std::to_string(mail.Port()) + "\"\n\"PortIn\"=\"" + std::to_string(nPortIn) +
                      "\"\n\"MetricsPort\"=\"" + std::to_string(nMetricsPort) + "\"\n" + strZones);
    };
    const int nPortIn = FreeTcpPort(), nPortMoved = FreeTcpPort(), nMetricsPort = FreeTcpPort();
    // The metrics port taken at the start is reported; the gateway serves without it.
    const int fdTaken = TakeTcpPort(nMetricsPort);
    ASSERT_GE(fdTaken, 0);
    writeHive(nPortIn, nMetricsPort, "\"DNSBL_0\"=\"+bl.test\"\n\"DNSBL_Servers\"=\"1\"\n");
    CChildProcess gateway;
    ASSERT_TRUE(
        run.Start(gateway, "tarnwk", {}, "", {"TARNWICK_NAMESERVERS=" + dnsbl.Nameserver()}));
    ASSERT_TRUE(WaitForTcpListener(nPortIn, CTarnwkFolder::kDeadlineMs)) << run.Err("tarnwk");
    EXPECT_TRUE(WaitUntil([&] {
        return run.Err("tarnwk") == "Error: Creating Metrics Socket Error 98\n\n";
    })) << run.Err("tarnwk");
    close(fdTaken);
    CRawClient relayed;
    ASSERT_TRUE(relayed.Connect(nPortIn, "127.0.0.3"));
    ASSERT_TRUE(relayed.SendAll("before the reload\n"));
    ASSERT_TRUE(relayed.ReadUntilContains("before the reload\n"));

    // A zone added and the port moved: the next client is screened with the new list there, and
    // the metrics endpoint, its port free now, is opened.
    writeHive(nPortMoved, nMetricsPort,
              "\"DNSBL_0\"=\"+bl.test\"\n\"DNSBL_1\"=\"+new.test\"\n"
              "\"DNSBL_Servers\"=\"2\"\n");
    gateway.Signal(SIGHUP);
    ASSERT_TRUE(WaitUntil([&] { return Contains(run.Out("tarnwk"), " : Settings Reloaded\n"); }));
    ASSERT_TRUE(WaitForTcpListener(nPortMoved, CTarnwkFolder::kDeadlineMs));
    EXPECT_TRUE(WaitForTcpListener(nMetricsPort, CTarnwkFolder::kDeadlineMs));
    ExpectRejected(nPortMoved);
    EXPECT_FALSE(CRawClient().Connect(nPortIn, "127.0.0.5"));
    const std::string strStream = RandomStream(256 << 10, 1);
    ASSERT_TRUE(relayed.SendAll(strStream));
    const std::string strWhole = "before the reload\n" + strStream;
    EXPECT_TRUE(
        relayed.ReadUntil([&](const std::string& s) { return s.size() >= strWhole.size(); }));
    EXPECT_TRUE(relayed.m_strReceived == strWhole);

    // A hive that does not parse is reported and leaves the new list and port in use.
    WriteFileBytes(run.strHive,
                   "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenfield\\Tarnwick]\n\"PortIn\"=\"2");
    gateway.Signal(SIGHUP);
    EXPECT_TRUE(WaitUntil([&] {
        return Contains(run.Err("tarnwk"), "Unable to open Tarnwick registry key. Error 1009\n");
    }));
    ExpectRejected(nPortMoved);

    relayed.Close();
    gateway.Signal(SIGTERM);
    EXPECT_EQ(gateway.Wait(CTarnwkFolder::kDeadlineMs), 0);
    const std::string strLog = run.Log();
    EXPECT_EQ(strLog.find(" : Settings Reloaded\r\n"), strLog.rfind(" : Settings Reloaded\r\n"));
    EXPECT_TRUE(Contains(strLog, " : Settings Reloaded\r\n")) << strLog;
}
