// End to end: the tarnwk binary headless, reloaded with SIGHUP while a relay runs through it,
// with rbldnsd (or a scripted DNS server) as its DNSBL server, an echo server as the mail server,
// clients on loopback addresses of their own (127.0.0.4 is listed only in a zone the reload
// adds), and this test as its service manager (NOTIFY_SOCKET, with a watchdog).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/Process.h"
#include "tests/support/RawPeer.h"
#include "tests/support/Rbldnsd.h"
#include "tests/support/ScriptedDns.h"
#include "tests/support/TarnwkRun.h"
#include "tests/support/Wait.h"

namespace {
const std::string kRejectLine =
    "550 - Tarnwick: Your Server is Blacklisted. Check mail server blacklists for removal "
    "information\n";

// A listed client (127.0.0.4 unless told) connects to nPort and is rejected.
void ExpectRejected(int nPort, const char* pFrom = "127.0.0.4") {
    CRawClient listed;
    ASSERT_TRUE(listed.Connect(nPort, pFrom));
    EXPECT_TRUE(listed.ReadUntilClosed());
    EXPECT_EQ(listed.m_strReceived, kRejectLine);
}

// A comma-separated list of over 2,000 characters: addresses nobody connects from, then strLast.
std::string LongList(const std::string& strLast) {
    std::string strList;
    for (int i = 0; strList.size() < 2000; ++i)
        strList += "10.9." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ", ";
    return strList + strLast;
}

// The manager's end of the notify protocol: a datagram socket of this test, given to the gateway
// as NOTIFY_SOCKET. A thread takes every datagram as it comes (the gateway's sends never wait,
// so a full queue would lose them) and keeps their lines in order.
class CNotifySocket {
public:
    explicit CNotifySocket(const std::string& strPath) : m_strPath(strPath) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, strPath.c_str(), sizeof address.sun_path - 1);
        m_bBound = bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        m_thread = std::thread([this] { Collect(); });
    }
    ~CNotifySocket() {
        m_bStop = true;
        m_thread.join();
        close(m_fd);
    }
    bool Bound() const { return m_bBound; }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lines;
    }
    size_t Count(const std::string& strLine) {
        const std::vector<std::string> lines = Lines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), strLine));
    }

private:
    void Collect() {
        while (!m_bStop) {
            pollfd ready{m_fd, POLLIN, 0};
            if (poll(&ready, 1, 50) != 1) continue;
            char buffer[4096];
            const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0) continue;
            std::istringstream datagram(std::string(buffer, static_cast<size_t>(n)));
            std::lock_guard<std::mutex> guard(m_lock);
            for (std::string strLine; std::getline(datagram, strLine);) m_lines.push_back(strLine);
        }
    }

    std::string m_strPath;
    int m_fd = -1;
    bool m_bBound = false;
    std::atomic<bool> m_bStop{false};
    std::mutex m_lock;
    std::vector<std::string> m_lines;
    std::thread m_thread;
};

bool IsState(const std::string& strLine) {
    return strLine == "READY=1" || strLine == "RELOADING=1" || strLine == "STOPPING=1";
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
    CNotifySocket manager(run.dir.File("notify"));
    ASSERT_TRUE(manager.Bound());
    CChildProcess gateway;
    // A watchdog of 200 ms: a ping every 100 ms.
    ASSERT_TRUE(run.Start(gateway, "tarnwk", {}, "",
                          {"TARNWICK_NAMESERVERS=" + dnsbl.Nameserver(),
                           "NOTIFY_SOCKET=" + run.dir.File("notify"), "WATCHDOG_USEC=200000"}));
    // READY=1 comes once the port is open: a single connect then gets through.
    ASSERT_TRUE(
        WaitUntil([&] { return manager.Count("READY=1") == 1; }, CTarnwkFolder::kDeadlineMs))
        << run.Err("tarnwk");
    EXPECT_TRUE(CRawClient().Connect(nPortIn, "127.0.0.6"));
    EXPECT_TRUE(WaitUntil([&] {
        return run.Err("tarnwk") == "Error: Creating Metrics Socket Error 98\n\n";
    })) << run.Err("tarnwk");
    close(fdTaken);
    CRawClient relayed;
    ASSERT_TRUE(relayed.Connect(nPortIn, "127.0.0.3"));
    ASSERT_TRUE(relayed.SendAll("before the reload\n"));
    ASSERT_TRUE(relayed.ReadUntilContains("before the reload\n"));
    // The listener's loop keeps the watchdog fed while the relay is open.
    const size_t nPings = manager.Count("WATCHDOG=1");
    EXPECT_TRUE(WaitUntil([&] { return manager.Count("WATCHDOG=1") >= nPings + 3; }));

    // A zone added and the port moved: the next client is screened with the new list there, and
    // the metrics endpoint, its port free now, is opened.
    writeHive(nPortMoved, nMetricsPort,
              "\"DNSBL_0\"=\"+bl.test\"\n\"DNSBL_1\"=\"+new.test\"\n"
              "\"DNSBL_Servers\"=\"2\"\n");
    gateway.Signal(SIGHUP);
    ASSERT_TRUE(WaitUntil([&] { return Contains(run.Out("tarnwk"), " : Settings Reloaded\n"); }));
    // The reload's READY=1 comes once the listener has moved to the new port.
    ASSERT_TRUE(WaitUntil([&] { return manager.Count("READY=1") == 2; }));
    EXPECT_TRUE(CRawClient().Connect(nPortMoved, "127.0.0.6"));
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
    EXPECT_TRUE(WaitUntil([&] { return manager.Count("READY=1") == 3; }));
    // The status follows the counters.
    EXPECT_TRUE(WaitUntil([&] {
        const std::vector<std::string> lines = manager.Lines();
        return std::any_of(lines.begin(), lines.end(), [](const std::string& strLine) {
            return std::regex_match(strLine,
                                    std::regex("STATUS=Connections Received \\d+, Rejected 2"));
        });
    }));

    relayed.Close();
    gateway.Signal(SIGTERM);
    EXPECT_EQ(gateway.Wait(CTarnwkFolder::kDeadlineMs), 0);
    // The manager heard the start, both reloads (the failed one too) and the stop, in order; a
    // reload's RELOADING=1 carries the clock's reading, and the first READY=1 the counters.
    const std::vector<std::string> lines = manager.Lines();
    std::vector<std::string> states;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(states), IsState);
    EXPECT_EQ(states, (std::vector<std::string>{"READY=1", "RELOADING=1", "READY=1", "RELOADING=1",
                                                "READY=1", "STOPPING=1"}));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "STATUS=Connections Received 0, Rejected 0");
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] != "RELOADING=1") continue;
        EXPECT_TRUE(i + 1 < lines.size() && lines[i + 1].rfind("MONOTONIC_USEC=", 0) == 0);
    }
    const std::string strLog = run.Log();
    EXPECT_EQ(strLog.find(" : Settings Reloaded\r\n"), strLog.rfind(" : Settings Reloaded\r\n"));
    EXPECT_TRUE(Contains(strLog, " : Settings Reloaded\r\n")) << strLog;
}

// A reload moves PortIn while clients await their verdicts (their zone is silent until the query
// bound) and a trusted balancer's PROXY header is half read: each of them gets its verdict after
// the move, as if nothing had moved, and the port moved back still accepts. ProxyFrom and
// MonitorFrom of over 2,000 characters are read whole: their last entries count, and nobody
// else is a balancer or a monitor.
TEST(Reload, MovingThePortKeepsPendingVerdictsAndLongAddressListsAreReadWhole) {
    CScriptedDns dns;  // asked about 127.0.0.74: listed; 127.0.0.78: never answers
    ASSERT_TRUE(dns.Start());
    CRawServer mail;
    ASSERT_TRUE(mail.Start(EchoUntilClosed));
    CTarnwkFolder run;
    const int nPortA = FreeTcpPort(), nPortB = FreeTcpPort();
    const auto writeHive = [&](int nPortIn) {
        run.WriteHive("\"EnableLogging\"=\"1\"\n\"MailServer\"=\"127.0.0.1\"\n\"PortOut\"=\"" +
                      std::to_string(mail.Port()) + "\"\n\"PortIn\"=\"" + std::to_string(nPortIn) +
                      "\"\n\"ConcurrentScreening\"=\"1\"\n\"DNSBL_0\"=\"+bl.test\"\n"
                      "\"DNSBL_Servers\"=\"1\"\n\"ProxyFrom\"=\"" +
                      LongList("127.0.0.6") + "\"\n\"MonitorFrom\"=\"" + LongList("127.0.0.8") +
                      "\"\n");
    };
    writeHive(nPortA);
    CChildProcess gateway;
    ASSERT_TRUE(run.Start(gateway, "tarnwk", {}, "", {"TARNWICK_NAMESERVERS=" + dns.Nameserver()}));
    ASSERT_TRUE(WaitForTcpListener(nPortA, CTarnwkFolder::kDeadlineMs)) << run.Err("tarnwk");

    std::vector<std::unique_ptr<CRawClient>> waiting;
    for (int i = 0; i < 20; ++i) {
        waiting.push_back(std::make_unique<CRawClient>());
        ASSERT_TRUE(waiting.back()->Connect(nPortA, "127.0.0.78"));
        ASSERT_TRUE(waiting.back()->SendAll("sent before the verdict\n"));
    }
    CRawClient balancer;
    ASSERT_TRUE(balancer.Connect(nPortA, "127.0.0.6"));
    ASSERT_TRUE(balancer.SendAll("PROXY TCP4 127.0.0.74 "));
    // From an address MonitorFrom does not list, the line is relayed to the mail server (which
    // echoes it); from the last one it lists, it makes a monitor. Both were accepted after the
    // clients above, so all of those are awaiting their verdicts now.
    CRawClient stranger, monitor;
    ASSERT_TRUE(stranger.Connect(nPortA, "127.0.0.9"));
    ASSERT_TRUE(stranger.SendAll("MONITOR\n"));
    EXPECT_TRUE(stranger.ReadUntilContains("MONITOR\n"));
    ASSERT_TRUE(monitor.Connect(nPortA, "127.0.0.8"));
    ASSERT_TRUE(monitor.SendAll("MONITOR\n"));
    EXPECT_TRUE(monitor.ReadUntilContains("STAT 1\r\n"));

    writeHive(nPortB);
    gateway.Signal(SIGHUP);
    ASSERT_TRUE(WaitForTcpListener(nPortB, CTarnwkFolder::kDeadlineMs));
    // The header ends after the move: the client it names is screened and rejected, and nothing
    // of the header reaches the mail server.
    ASSERT_TRUE(balancer.SendAll("127.0.0.6 4000 25\r\nnever relayed\n"));
    EXPECT_TRUE(balancer.ReadUntilClosed());
    EXPECT_EQ(balancer.m_strReceived, kRejectLine) << run.Err("tarnwk");
    // And back, while the verdicts are still pending.
    writeHive(nPortA);
    gateway.Signal(SIGHUP);
    ASSERT_TRUE(WaitForTcpListener(nPortA, CTarnwkFolder::kDeadlineMs));
    for (auto& pClient : waiting)
        EXPECT_TRUE(pClient->ReadUntilContains("sent before the verdict\n"));
    CRawClient after;
    ASSERT_TRUE(after.Connect(nPortA, "127.0.0.10"));
    ASSERT_TRUE(after.SendAll("after the moves\n"));
    EXPECT_TRUE(after.ReadUntilContains("after the moves\n"));

    gateway.Signal(SIGTERM);
    EXPECT_EQ(gateway.Wait(CTarnwkFolder::kDeadlineMs), 0);
    EXPECT_EQ(run.Err("tarnwk"), "");  // nothing reported, no sanitizer's report
    EXPECT_TRUE(
        Contains(run.Log(), " : Connection from 127.0.0.74 Rejected (Blacklist Listings: 1)"));
}

// Reloads faster than a zone's check (a SIGHUP every second, the hive unchanged, the zone
// answering in 1.5 s): the check a reload did not change goes on and counts, so the zone is
// asked and its listed client rejected.
TEST(Reload, ASighupStormLetsTheChecksItDidNotChangeFinish) {
    CScriptedDns dns;  // under wait1500.test: 127.0.0.74 listed, the test entries right
    ASSERT_TRUE(dns.Start());
    CRawServer mail;
    ASSERT_TRUE(mail.Start(EchoUntilClosed));
    CTarnwkFolder run;
    const int nPortIn = FreeTcpPort();
    run.WriteHive("\"EnableLogging\"=\"1\"\n\"MailServer\"=\"127.0.0.1\"\n\"PortOut\"=\"" +
                  std::to_string(mail.Port()) + "\"\n\"PortIn\"=\"" + std::to_string(nPortIn) +
                  "\"\n\"ConcurrentScreening\"=\"1\"\n\"ZoneCheckMinutes\"=\"60\"\n"
                  "\"DNSBL_0\"=\"+wait1500.test\"\n\"DNSBL_Servers\"=\"1\"\n");
    CChildProcess gateway;
    ASSERT_TRUE(run.Start(gateway, "tarnwk", {}, "", {"TARNWICK_NAMESERVERS=" + dns.Nameserver()}));
    ASSERT_TRUE(WaitForTcpListener(nPortIn, CTarnwkFolder::kDeadlineMs)) << run.Err("tarnwk");
    std::atomic<bool> bStorming{true};
    std::thread storm([&] {
        while (bStorming) {
            gateway.Signal(SIGHUP);
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(3));
    for (int i = 0; i < 3; ++i) ExpectRejected(nPortIn, "127.0.0.74");
    bStorming = false;
    storm.join();
    gateway.Signal(SIGTERM);
    EXPECT_EQ(gateway.Wait(CTarnwkFolder::kDeadlineMs), 0);
    EXPECT_EQ(run.Err("tarnwk"), "");
}

namespace {
// A mail server that says which configuration reached it: "220 A" when the channel came to the
// address and port of configuration A with the PROXY header version A sends (1) naming the
// balancer's client, "220 B" for B (version 2), and "220 MIXED" for anything else.
CRawServer::Handler ConfigurationMailServer(char cName, int nProxyVersion) {
    return [cName, nProxyVersion](int fd) {
        std::string strHead;
        char buffer[128];
        while (strHead.size() < 28) {
            pollfd ready{fd, POLLIN, 0};
            if (poll(&ready, 1, 5000) != 1) break;
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            strHead.append(buffer, static_cast<size_t>(n));
        }
        static const std::string kV2Start("\r\n\r\n\0\r\nQUIT\n\x21\x11", 14);
        const bool bNamesClient = nProxyVersion == 1
                                      ? strHead.rfind("PROXY TCP4 127.0.0.77 ", 0) == 0
                                      : strHead.rfind(kV2Start, 0) == 0 &&
                                            strHead.compare(16, 4, "\x7f\x00\x00\x4d", 4) == 0;
        const std::string strGreeting =
            bNamesClient ? std::string("220 ") + cName + "\r\n" : "220 MIXED\r\n";
        SendAllFd(fd, strGreeting.data(), strGreeting.size());
        shutdown(fd, SHUT_RDWR);
    };
}
}  // namespace

// A storm of reloads under load, every client coming through a trusted balancer and screened
// concurrently: configurations A and B name different mail servers, ports and PROXY versions,
// and every client reaches exactly the mail server, port and version of one of them, never a
// mix (the servers at the crossed addresses answer "MIXED"). With the thread sanitizer, the
// gateway's clean exit shows that no race was found.
TEST(Reload, EveryClientOfAReloadStormSeesOneWholeConfiguration) {
    CRbldnsd dnsbl;
    dnsbl.AddZone("clean.test", {});
    ASSERT_TRUE(dnsbl.Start()) << dnsbl.Output();
    CRawServer serverA, serverB, crossedA, crossedB;
    ASSERT_TRUE(serverA.Start(ConfigurationMailServer('A', 1), 0, 256, "127.0.0.1"));
    ASSERT_TRUE(serverB.Start(ConfigurationMailServer('B', 2), 0, 256, "127.0.0.2"));
    ASSERT_TRUE(crossedA.Start(ConfigurationMailServer('?', 0), serverB.Port(), 256, "127.0.0.1"));
    ASSERT_TRUE(crossedB.Start(ConfigurationMailServer('?', 0), serverA.Port(), 256, "127.0.0.2"));
    CTarnwkFolder run;
    const int nPortIn = FreeTcpPort();
    const auto hive = [&](const char* pMailServer, int nPortOut, int nProxyTo) {
        return "\"MailServer\"=\"" + std::string(pMailServer) + "\"\n\"PortOut\"=\"" +
               std::to_string(nPortOut) + "\"\n\"ProxyTo\"=\"" + std::to_string(nProxyTo) +
               "\"\n\"PortIn\"=\"" + std::to_string(nPortIn) +
               "\"\n\"ConcurrentScreening\"=\"1\"\n\"ProxyFrom\"=\"127.0.0.40\"\n"
               "\"DNSBL_0\"=\"+clean.test\"\n\"DNSBL_Servers\"=\"1\"\n";
    };
    const std::string strHives[2] = {hive("127.0.0.1", serverA.Port(), 1),
                                     hive("127.0.0.2", serverB.Port(), 2)};
    run.WriteHive(strHives[0]);
    CChildProcess gateway;
    ASSERT_TRUE(
        run.Start(gateway, "tarnwk", {}, "", {"TARNWICK_NAMESERVERS=" + dnsbl.Nameserver()}));
    ASSERT_TRUE(WaitForTcpListener(nPortIn, CTarnwkFolder::kDeadlineMs)) << run.Err("tarnwk");

    // Each reload replaces the hive whole (a rename), as an administrator's editor does.
    std::atomic<bool> bStorming{true};
    std::thread storm([&] {
        for (int i = 1; bStorming; ++i) {
            WriteFileBytes(run.strHive + ".new",
                           "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenfield\\Tarnwick]\n" +
                               strHives[i % 2]);
            std::rename((run.strHive + ".new").c_str(), run.strHive.c_str());
            gateway.Signal(SIGHUP);
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
    });
    std::atomic<int> nA{0}, nB{0}, nOther{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t)
        clients.emplace_back([&] {
            for (int i = 0; i < 40; ++i) {
                CRawClient client;
                const bool bSent = client.Connect(nPortIn, "127.0.0.40") &&
                                   client.SendAll("PROXY TCP4 127.0.0.77 127.0.0.1 4000 25\r\n") &&
                                   client.ReadUntilContains("\r\n", 20000);
                const std::string& strGot = client.m_strReceived;
                ++(!bSent                  ? nOther
                   : strGot == "220 A\r\n" ? nA
                   : strGot == "220 B\r\n" ? nB
                                           : nOther);
            }
        });
    for (std::thread& thread : clients) thread.join();
    bStorming = false;
    storm.join();
    EXPECT_EQ(nOther, 0);
    EXPECT_EQ(nA + nB, 160);
    EXPECT_GT(nA, 0);
    EXPECT_GT(nB, 0);
    gateway.Signal(SIGTERM);
    EXPECT_EQ(gateway.Wait(CTarnwkFolder::kDeadlineMs), 0);
    EXPECT_EQ(run.Err("tarnwk"), "");
}
