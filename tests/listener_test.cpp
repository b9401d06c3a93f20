// The listener thread end to end: screening against a real DNSBL server, the rejection line,
// exclusions, the listening socket's failure, starting and stopping, the idle sweep, and
// running out of descriptors.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gateway/ClientIntake.h"
#include "gateway/ListenSocket.h"
#include "gateway/ListenThread.h"
#include "platform/DescriptorReserve.h"
#include "platform/DnsQuery.h"
#include "tests/support/GatewayHarness.h"
#include "tests/support/LoopbackAddresses.h"
#include "tests/support/MailServer.h"
#include "tests/support/Process.h"
#include "tests/support/RawPeer.h"
#include "tests/support/Rbldnsd.h"
#include "tests/support/SilentUdpSocket.h"

namespace {
using namespace std::chrono_literals;

const std::string kRejectLine =
    "550 - Tarnwick: Your Server is Blacklisted. Check mail server blacklists for removal "
    "information\n";

// Three zones on a local rbldnsd, all active in the gateway's list; each lists IPv6 clients too.
class Screening : public ::testing::Test {
protected:
    void SetUp() override {
        m_dnsbl.AddZone("one.bl.test", {"127.0.0.6", "2001:db8::6"});
        m_dnsbl.AddZone("two.bl.test",
                        {"127.0.0.5", "127.0.0.6", "127.0.0.12", "2001:db8::5", "2001:db8::6"});
        m_dnsbl.AddZone("three.bl.test", {"127.0.0.6", "2001:db8::6"});
        ASSERT_TRUE(m_dnsbl.Start()) << m_dnsbl.Output();
        setenv("TARNWICK_NAMESERVERS", m_dnsbl.Nameserver().c_str(), 1);
        for (const char* pszZone : {"three.bl.test", "two.bl.test", "one.bl.test"})
            m_gateway.m_app.m_settings.AddDnsblServer(pszZone, 1);
    }
    void TearDown() override { unsetenv("TARNWICK_NAMESERVERS"); }

    CRbldnsd m_dnsbl;
    CGatewayHarness m_gateway;
};
}  // namespace

TEST_F(Screening, ListedClientsGetOnlyTheRejectionLineAndTheClose) {
    ASSERT_TRUE(m_gateway.Start());
    CRawClient once;
    ASSERT_TRUE(once.Connect(m_gateway.m_nPortIn, "127.0.0.5"));
    ASSERT_TRUE(once.SendAll("EHLO listed.example\r\n"));  // never read
    EXPECT_TRUE(once.ReadUntilClosed());
    EXPECT_EQ(once.m_strReceived, kRejectLine);

    CRawClient thrice;
    ASSERT_TRUE(thrice.Connect(m_gateway.m_nPortIn, "127.0.0.6"));
    EXPECT_TRUE(thrice.ReadUntilClosed());
    EXPECT_EQ(thrice.m_strReceived, kRejectLine);

    const std::string strLog = m_gateway.ActivityLog();
    EXPECT_TRUE(
        Contains(strLog, " : Connection from 127.0.0.5 Rejected (Blacklist Listings: 1)\r\n"))
        << strLog;
    EXPECT_TRUE(
        Contains(strLog, " : Connection from 127.0.0.6 Rejected (Blacklist Listings: 3)\r\n"))
        << strLog;
    EXPECT_EQ(m_gateway.m_app.m_gateway.m_counters.m_nConnections, 2);
    EXPECT_EQ(m_gateway.m_app.m_gateway.m_counters.m_nRejected, 2);
    EXPECT_TRUE(WaitUntil([&] { return m_gateway.Connections().empty(); }));
    EXPECT_GE(m_gateway.m_window.m_nRefreshes, 2);
    EXPECT_TRUE(m_gateway.Reports().empty());
}

TEST_F(Screening, ExcludedClientIsRelayedWithoutAnyQuery) {
    m_gateway.m_app.m_settings.AddExclusion("127.0.0.12", 1);
    CRawServer server;
    ASSERT_TRUE(server.Start([](int fd) { SendAllFd(fd, "220 relayed\r\n", 13); }));
    ASSERT_TRUE(m_gateway.Start(server.Port()));

    CRawClient excluded;
    ASSERT_TRUE(excluded.Connect(m_gateway.m_nPortIn, "127.0.0.12"));
    EXPECT_TRUE(excluded.ReadUntilContains("220 relayed\r\n"));
    CRawClient clean;
    ASSERT_TRUE(clean.Connect(m_gateway.m_nPortIn, "127.0.0.13"));
    EXPECT_TRUE(clean.ReadUntilContains("220 relayed\r\n"));

    const std::vector<std::string> names = m_dnsbl.QueriedNames();
    EXPECT_NE(std::find(names.begin(), names.end(), "13.0.0.127.two.bl.test"), names.end());
    for (const std::string& strName : names)
        EXPECT_FALSE(Contains(strName, "12.0.0.127")) << strName;
    const std::string strLog = m_gateway.ActivityLog();
    EXPECT_TRUE(Contains(strLog, "Connection from 127.0.0.12 Accepted")) << strLog;
    EXPECT_TRUE(Contains(strLog, "Connection from 127.0.0.13 Accepted")) << strLog;
    EXPECT_EQ(m_gateway.m_app.m_gateway.m_counters.m_nRejected, 0);
    server.Stop();
}

namespace {
// The name a list is asked under for an address, written out here digit by digit: the four
// numbers, or the 32 hexadecimal digits, last first.
std::string ListName(const std::string& strAddress, const std::string& strZone) {
    unsigned char bytes[16] = {};
    std::string strName;
    if (inet_pton(AF_INET, strAddress.c_str(), bytes) == 1) {
        for (int i = 3; i >= 0; --i) strName += std::to_string(bytes[i]) + ".";
        return strName + strZone;
    }
    EXPECT_EQ(inet_pton(AF_INET6, strAddress.c_str(), bytes), 1) << strAddress;
    const char* pDigits = "0123456789abcdef";
    for (int i = 15; i >= 0; --i)
        strName += std::string{pDigits[bytes[i] & 15], '.', pDigits[bytes[i] >> 4], '.'};
    return strName + strZone;
}
}  // namespace

// IPv6 clients on the gateway's second socket, beside an IPv4 one, blocking and concurrent: the
// listed ones are rejected by the zones that list their nibble names, the others relayed
// byte-exact; an excluded address (written another way) and an excluded network are relayed
// without a query; the lines give the RFC 5952 text.
TEST_F(Screening, IPv6ClientsAreScreenedByTheirNibbleNamesBesideIPv4Ones) {
    CLoopbackAddresses loopback;
    if (const std::string strWhy = loopback.Add(
            {"2001:db8::5", "2001:db8::6", "2001:db8::7", "2001:db8::12", "2001:db8:1::9"});
        !strWhy.empty())
        GTEST_SKIP() << strWhy;
    Settings& settings = m_gateway.m_app.m_settings;
    settings.ListenV6 = 1;
    settings.AddExclusion("2001:DB8:0:0::012", 1);
    settings.AddExclusion("2001:db8:1::/48", 1);
    CRawServer server;
    ASSERT_TRUE(server.Start(EchoUntilClosed));
    ASSERT_TRUE(m_gateway.Start(server.Port()));
    const std::vector<std::string> zones{"one.bl.test", "three.bl.test", "two.bl.test"};
    const struct {
        const char* pFrom;
        const char* pOutcome;
        size_t nAsked;  // zones asked
    } cases[] = {
        {"2001:db8::6", "Rejected (Blacklist Listings: 3)", 3},
        {"2001:db8::5", "Rejected (Blacklist Listings: 1)", 3},
        {"2001:db8::7", "Accepted", 3},
        {"2001:db8::12", "Accepted", 0},
        {"2001:db8:1::9", "Accepted", 0},
        {"127.0.0.5", "Rejected (Blacklist Listings: 1)", 3},
    };
    for (int nConcurrent = 0; nConcurrent < 2; ++nConcurrent) {
        settings.ConcurrentScreening = nConcurrent;
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.pFrom) + (nConcurrent ? " concurrent" : " blocking"));
            const size_t nAskedBefore = m_dnsbl.QueriedNames().size();
            CRawClient client;
            ASSERT_TRUE(client.Connect(m_gateway.m_nPortIn, c.pFrom));
            const std::string strStream = RandomStream(64 << 10, nConcurrent);
            if (c.pOutcome[0] == 'R') {
                EXPECT_TRUE(client.ReadUntilClosed());
                EXPECT_EQ(client.m_strReceived, kRejectLine);
            } else {
                ASSERT_TRUE(client.SendAll(strStream));
                EXPECT_TRUE(client.ReadUntil(
                    [&](const std::string& strIn) { return strIn.size() >= strStream.size(); }));
                EXPECT_TRUE(client.m_strReceived == strStream);
            }
            const std::string strLine =
                std::string(" : Connection from ") + c.pFrom + " " + c.pOutcome + "\r\n";
            EXPECT_TRUE(WaitUntil([&] { return Contains(m_gateway.ActivityLog(), strLine); }))
                << m_gateway.ActivityLog();
            std::vector<std::string> asked = m_dnsbl.QueriedNames(), expected;
            asked.erase(asked.begin(), asked.begin() + static_cast<long>(nAskedBefore));
            std::sort(asked.begin(), asked.end());
            for (size_t i = 0; i < c.nAsked; ++i) expected.push_back(ListName(c.pFrom, zones[i]));
            EXPECT_EQ(asked, expected);
        }
    }
    EXPECT_TRUE(Contains(m_gateway.ActivityLog(), " : 2001:db8::6 Found in three.bl.test\r\n"));
    EXPECT_EQ(m_gateway.m_app.m_gateway.m_counters.m_nRejected, 6);
    EXPECT_TRUE(m_gateway.Reports().empty()) << m_gateway.Reports()[0];
}

// The IPv6 socket beside the IPv4 one: a port IPv6 cannot have is reported as the IPv4 socket's
// failure is, and stops nothing; a reload moves both sockets to a new PortIn, and a ListenV6
// switched off closes the IPv6 one alone.
TEST(Listener, TheIPv6SocketFailsAloneAndFollowsReloads) {
    CGatewayHarness gateway;
    const auto connects = [&](const char* pFrom) {
        return CRawClient().Connect(gateway.m_nPortIn, pFrom);
    };
    const int fdHolder = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int nOne = 1;
    ASSERT_EQ(setsockopt(fdHolder, IPPROTO_IPV6, IPV6_V6ONLY, &nOne, sizeof nOne), 0);
    sockaddr_in6 held{};
    held.sin6_family = AF_INET6;
    held.sin6_port = htons(static_cast<uint16_t>(gateway.m_nPortIn));
    held.sin6_addr = in6addr_any;
    ASSERT_EQ(bind(fdHolder, reinterpret_cast<sockaddr*>(&held), sizeof held), 0);
    ASSERT_EQ(listen(fdHolder, 1), 0);
    gateway.m_app.m_settings.ListenV6 = 1;
    ASSERT_TRUE(gateway.Start());
    ASSERT_TRUE(WaitUntil([&] { return gateway.Reports().size() == 1; }));
    EXPECT_EQ(gateway.Reports()[0],
              "Creating Listening Socket Error " + std::to_string(EADDRINUSE) + "\n");
    EXPECT_EQ(gateway.m_boxes.Boxes()[0].bStopRequested, 0);
    EXPECT_EQ(gateway.m_app.m_bGatewayDown, 0);
    EXPECT_TRUE(connects("127.0.0.30"));
    close(fdHolder);

    for (const int nListenV6 : {1, 0}) {
        gateway.m_nPortIn = FreeTcpPort();
        gateway.m_app.m_settings.PortIn = gateway.m_nPortIn;
        gateway.m_app.m_settings.ListenV6 = nListenV6;
        gateway.Publish();
        gateway.m_app.m_gateway.ApplySettingsToListener();
        gateway.OnListener([] {});  // the reload has been taken into use
        SCOPED_TRACE(nListenV6);
        EXPECT_TRUE(connects("127.0.0.31"));
        EXPECT_EQ(connects("::1"), nListenV6 == 1);
    }
    EXPECT_EQ(gateway.Reports().size(), 1u);
}

TEST(Listener, PortInUseIsReportedAndAsksForShutdown) {
    CRawServer holder;
    ASSERT_TRUE(holder.Start([](int) {}));
    CGatewayHarness gateway;
    gateway.m_app.m_settings.PortIn = holder.Port();
    gateway.Publish(true);
    gateway.m_app.StartListenThread();  // reports before it returns, on this, the UI thread
    ASSERT_EQ(gateway.Reports().size(), 1u);
    const auto box = gateway.m_boxes.Boxes()[0];
    EXPECT_EQ(box.strText, "Creating Listening Socket Error " + std::to_string(EADDRINUSE) + "\n");
    EXPECT_EQ(box.strCaption, "Error");
    // The report shows with both flags up: the run ends, and leaving asks nothing.
    EXPECT_EQ(box.bGatewayDown, 1);
    EXPECT_EQ(box.bStopRequested, 1);
    EXPECT_TRUE(Contains(gateway.ActivityLog(), "Creating Listening Socket Error 98\n"));
    // The thread runs on without a socket until it is stopped.
    EXPECT_TRUE(gateway.m_app.m_gateway.HasListenThread());
    gateway.Stop();
    EXPECT_FALSE(gateway.m_app.m_gateway.HasListenThread());
    holder.Stop();

    // A port that cannot be one is the same failure: nothing random or wrapped is bound.
    for (std::int32_t nPort : {0, -25, 65536 + 25}) {
        gateway.m_boxes.Clear();
        gateway.m_app.m_settings.PortIn = nPort;
        gateway.Publish(true);
        gateway.m_app.StartListenThread();
        ASSERT_EQ(gateway.Reports().size(), 1u);
        EXPECT_EQ(gateway.Reports()[0],
                  "Creating Listening Socket Error " + std::to_string(EINVAL) + "\n");
        gateway.Stop();
    }
}

TEST(Listener, StartWhileRunningReplacesTheThreadAndStopWithNoneReturns) {
    CGatewayHarness gateway;
    gateway.Stop();  // nothing to stop
    EXPECT_EQ(gateway.m_app.m_gateway.ListenThread(), nullptr);
    ASSERT_TRUE(gateway.Start());
    CRawClient before;
    ASSERT_TRUE(before.Connect(gateway.m_nPortIn, "127.0.0.20"));
    ASSERT_TRUE(before.SendAll("x"));
    ASSERT_TRUE(WaitUntil([&] { return gateway.Connections().size() == 1; }));

    ASSERT_TRUE(gateway.Start());
    EXPECT_NE(gateway.m_app.m_gateway.ListenThread(), nullptr);
    // The old thread took its connections with it; the new one serves the same port.
    EXPECT_TRUE(before.ReadUntilClosed());
    CRawClient after;
    ASSERT_TRUE(after.Connect(gateway.m_nPortIn, "127.0.0.21"));
    EXPECT_TRUE(WaitUntil([&] { return gateway.Connections().size() == 1; }));
    gateway.Stop();
    EXPECT_EQ(gateway.m_app.m_gateway.ListenThread(), nullptr);
    EXPECT_TRUE(after.ReadUntilClosed());
}

// The stop request arrives while a failed connect waits for the client's first block: the
// thread ends, and the client is closed without a byte.
TEST(Listener, StopDuringTheWaitAfterAFailedConnectEndsTheThread) {
    CGatewayHarness gateway;
    ASSERT_TRUE(gateway.Start(FreeTcpPort()));
    CRawClient client;
    ASSERT_TRUE(client.Connect(gateway.m_nPortIn, "127.0.0.25"));
    ASSERT_TRUE(WaitUntil([&] { return gateway.Reports().size() == 1; }));
    gateway.Stop();
    EXPECT_FALSE(gateway.m_app.m_gateway.HasListenThread());
    EXPECT_TRUE(client.ReadUntilClosed());
    EXPECT_EQ(client.m_strReceived, "");
}

TEST(Listener, ClosedConnectionsGoAtTheNextIdleMomentOpenOnesKeepTheirOrder) {
    CGatewayHarness gateway;
    ASSERT_TRUE(gateway.Start());
    CRawClient clients[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(clients[i].Connect(gateway.m_nPortIn, "127.0.0.2" + std::to_string(2 + i)));
        ASSERT_TRUE(clients[i].SendAll("EHLO\r\n"));
    }
    ASSERT_TRUE(WaitUntil([&] {
        return gateway.Connections() ==
               std::vector<std::string>{"127.0.0.24 SMTP", "127.0.0.23 SMTP", "127.0.0.22 SMTP"};
    }));
    clients[1].Close();
    EXPECT_TRUE(WaitUntil([&] {
        return gateway.Connections() ==
               std::vector<std::string>{"127.0.0.24 SMTP", "127.0.0.22 SMTP"};
    }));
    // The monitor window is asked to look again once the connection has been freed.
    EXPECT_GT(gateway.m_window.m_nRefreshes, 0);
}

// With no descriptor left, the waiting client stays in the backlog: one report, a pause, and
// the accept succeeds once descriptors are free again. The client is counted once.
TEST(Listener, OutOfDescriptorsReportsOnceAndAcceptsLater) {
#ifdef TARNWICK_SANITIZE_UNDEFINED
    // The undefined-behaviour sanitizer checks an object's type with a pipe on first use, and
    // aborts when it cannot make one; this test runs in the plain and thread-sanitizer builds.
    GTEST_SKIP() << "needs descriptors the undefined-behaviour sanitizer would lack";
#endif
    CGatewayHarness gateway;
    ASSERT_TRUE(gateway.Start());
    const int fdClient = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.14", &local.sin_addr);
    ASSERT_EQ(bind(fdClient, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);

    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    rlimit reduced = original;
    reduced.rlim_cur = static_cast<rlim_t>(OpenDescriptors() + 32);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &reduced), 0);
    std::vector<int> fillers;
    for (int fd; (fd = fcntl(fdClient, F_DUPFD_CLOEXEC, 0)) >= 0;) fillers.push_back(fd);

    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(gateway.m_nPortIn));
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int nConnected = connect(fdClient, reinterpret_cast<sockaddr*>(&remote), sizeof remote);
    const bool bReported = WaitUntil([&] { return gateway.Reports().size() == 1; });
    std::this_thread::sleep_for(4 * std::chrono::milliseconds(CListenSocket::kRetryMs));
    const size_t nBoxes = gateway.Reports().size();
    for (int fd : fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &original);

    ASSERT_EQ(nConnected, 0);
    ASSERT_TRUE(bReported);
    EXPECT_EQ(nBoxes, 1u);
    EXPECT_EQ(gateway.Reports()[0],
              "Error Accepting Socket Error " + std::to_string(EMFILE) + "\n");
    ASSERT_TRUE(WaitUntil([&] { return Contains(gateway.ActivityLog(), "127.0.0.14 Accepted"); }));
    EXPECT_EQ(gateway.m_app.m_gateway.m_counters.m_nConnections, 1);
    EXPECT_EQ(gateway.Connections(), std::vector<std::string>{"127.0.0.14 "});
    close(fdClient);
}

namespace {
// Its accepts fail, in turn, with the codes given.
class CFailingListenSocket : public CListenSocket {
public:
    using CListenSocket::CListenSocket;
    BOOL Accept(CAsyncSocket&, sockaddr*, socklen_t*) override {
        WSASetLastError(m_codes.at(m_nNext++));
        return FALSE;
    }
    std::vector<int> m_codes{EMFILE, ECONNABORTED, ECONNABORTED};
    size_t m_nNext = 0;
};
}  // namespace

// Only the retry for a client counted when descriptors ran out goes uncounted; a failure of
// another kind ends that episode, and the next notification counts again.
TEST(Listener, FailedAcceptsAreCountedOnceEachReportedAndFreedAtOnce) {
    CGatewayHarness gateway;
    ASSERT_TRUE(gateway.Start());
    std::vector<int> counts;
    gateway.OnListener([&] {
        CClientIntake intake(gateway.m_app.m_gateway.Context(), nullptr, nullptr);
        CFailingListenSocket listen(gateway.m_app.m_gateway.Context(), intake);
        for (int i = 0; i < 3;
             ++i, counts.push_back(gateway.m_app.m_gateway.m_counters.m_nConnections))
            listen.OnAccept(0);
    });
    EXPECT_EQ(counts, (std::vector<int>{1, 1, 2}));
    EXPECT_TRUE(gateway.Connections().empty());
    ASSERT_TRUE(WaitUntil([&] { return gateway.Reports().size() == 3; }));
    EXPECT_EQ(gateway.Reports()[0],
              "Error Accepting Socket Error " + std::to_string(EMFILE) + "\n");
    EXPECT_EQ(gateway.Reports()[2],
              "Error Accepting Socket Error " + std::to_string(ECONNABORTED) + "\n");
}

// Screening on the loop: answers that arrived while the loop was held up past their bound still
// list the client; a relayed client keeps talking while another one's zones are silent;
// stopping the listener then closes the waiting client, and no verdict for it is ever logged.
TEST_F(Screening, ConcurrentScreeningKeepsRelaysFlowingAndStopsWithLookupsInFlight) {
    CRawServer server;
    ASSERT_TRUE(server.Start([](int fd) {
        SendAllFd(fd, "220 relayed\r\n", 13);
        char buffer[256];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) SendAllFd(fd, "250 ok\r\n", 8);
    }));
    m_gateway.m_app.m_settings.ConcurrentScreening = 1;
    ASSERT_TRUE(m_gateway.Start(server.Port()));
    // The listener is held up after the pass that sent the first client's three queries, until
    // their answers are out and the queries' bound has passed: answers that came in time count.
    m_gateway.OnListener([this, pHeld = std::make_shared<bool>(false)] {
        CListenThread* pThread = m_gateway.m_app.m_gateway.ListenThread();
        CEventLoop::ForThisThread()->SetPassEndHandler([this, pThread, pHeld] {
            pThread->SweepConnections();
            if (*pHeld || pThread->Snapshot().empty()) return;
            *pHeld = true;
            const auto end = std::chrono::steady_clock::now() + 10s;
            while (m_dnsbl.QueriedNames().size() < 3 && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(5ms);
            std::this_thread::sleep_for(std::chrono::milliseconds(kDnsQueryLimitMs) + 500ms);
        });
    });
    CRawClient listed, relayed;
    ASSERT_TRUE(listed.Connect(m_gateway.m_nPortIn, "127.0.0.6"));
    EXPECT_TRUE(listed.ReadUntilClosed());
    EXPECT_EQ(listed.m_strReceived, kRejectLine);
    ASSERT_TRUE(relayed.Connect(m_gateway.m_nPortIn, "127.0.0.13"));
    ASSERT_TRUE(relayed.ReadUntilContains("220 relayed\r\n"));

    CSilentUdpSocket silent;
    setenv("TARNWICK_NAMESERVERS", silent.Nameserver().c_str(), 1);
    CRawClient waiting;
    ASSERT_TRUE(waiting.Connect(m_gateway.m_nPortIn, "127.0.0.15"));
    ASSERT_TRUE(silent.WaitForDatagram(10000));
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(relayed.SendAll("NOOP\r\n"));
        EXPECT_TRUE(relayed.ReadUntil([&](const std::string& strIn) {
            return strIn.size() == 13 + 8 * static_cast<size_t>(i);
        }));
    }
    EXPECT_TRUE(m_gateway.Connections().size() == 2u);  // the waiting client is not relayed
    m_gateway.Stop();
    EXPECT_TRUE(waiting.ReadUntilClosed());
    EXPECT_EQ(waiting.m_strReceived, "");
    const std::string strLog = m_gateway.ActivityLog();
    EXPECT_TRUE(Contains(strLog, "Connection from 127.0.0.6 Rejected (Blacklist Listings: 3)"));
    EXPECT_FALSE(Contains(strLog, "127.0.0.15 ")) << strLog;
}

// Descriptors for an accept are set aside whole or not at all, and the spare, once given back,
// is there for what handling the accept opens.
TEST(Listener, DescriptorReserveIsMadeWholeOrNotAtAll) {
#ifdef TARNWICK_SANITIZE_UNDEFINED
    GTEST_SKIP() << "needs descriptors the undefined-behaviour sanitizer would lack";
#endif
    const int nStart = OpenDescriptors();
    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    for (int nFree : {0, 1, 2}) {
        rlimit reduced = original;
        reduced.rlim_cur = static_cast<rlim_t>(nStart + 8);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &reduced), 0);
        std::vector<int> fillers;
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
        for (int i = 0; i < nFree; ++i, fillers.pop_back()) close(fillers.back());
        bool bMade = false;
        int nErrno = 0, fdChannel = -1, fdAfterAccept = -1;
        {
            CDescriptorReserve reserve;
            bMade = reserve.Make(true);
            nErrno = errno;
            if (bMade) {
                fdChannel = reserve.TakeChannelSocket();
                reserve.ReleaseSpare();
                fdAfterAccept = open("/dev/null", O_RDONLY | O_CLOEXEC);
            }
        }
        for (int fd : {fdChannel, fdAfterAccept})
            if (fd >= 0) close(fd);
        for (int fd : fillers) close(fd);
        setrlimit(RLIMIT_NOFILE, &original);
        SCOPED_TRACE(nFree);
        EXPECT_EQ(bMade, nFree == 2);
        if (!bMade) {
            EXPECT_EQ(nErrno, EMFILE);
        }
        EXPECT_EQ(fdChannel >= 0 && fdAfterAccept >= 0, nFree == 2);
        EXPECT_EQ(OpenDescriptors(), nStart);  // nothing left open by a reserve that failed
    }
}

namespace {
const std::string kTalkedFirstLine =
    "550 - Tarnwick: Protocol Error. Your Server Talked Before the Greeting\n";
const std::string kTooManyLine = "421 - Tarnwick: Too Many Connections. Try Again Later\n";
const std::string kDeferLine = "451 - Tarnwick: Block Lists Not Answering. Try Again Later\n";

size_t Occurrences(const std::string& strText, const std::string& strNeedle) {
    size_t nCount = 0;
    for (size_t n = 0; (n = strText.find(strNeedle, n)) != std::string::npos; ++n) ++nCount;
    return nCount;
}

// swaks from strFrom through the gateway; true when the message went through.
bool SendWithSwaks(int nPort, const std::string& strFrom, const std::string& strSubject) {
    CTempDir work;
    CChildProcess swaks;
    if (!swaks.Start({"swaks", "--server", "127.0.0.1", "--port", std::to_string(nPort),
                      "--local-interface", strFrom, "--from", "alice@example.org", "--to",
                      "bob@example.org", "--header", "Subject: " + strSubject},
                     "", {}, work.File("swaks.out")))
        return false;
    const int nExit = swaks.Wait(60000);
    EXPECT_EQ(nExit, 0) << ReadFileBytes(work.File("swaks.out"));
    return nExit == 0;
}
}  // namespace

// The defences that need no list, one client after another against the zones and two mail
// servers (aiosmtpd for swaks, and a raw one that greets, echoes and counts its connections):
// the talk-first wait, the per-client limits (an IPv6 client by its /64), the deferral while
// the zones are silent; and the same clients without the values, treated as they always were.
TEST_F(Screening, DefencesTurnBotsAwayBeforeTheMailServerAndOnlyWhenSwitchedOn) {
    CLoopbackAddresses loopback;
    const std::string strNoIPv6 =
        loopback.Add({"2001:db8::21", "2001:db8::22", "2001:db8:0:1::21"});
    CMailServer mail;
    ASSERT_TRUE(mail.StartAiosmtpd()) << mail.Output();
    std::atomic<int> nRawConnections{0};
    CRawServer raw;
    ASSERT_TRUE(raw.Start([&](int fd) {
        ++nRawConnections;
        SendAllFd(fd, "220 relayed\r\n", 13);
        EchoUntilClosed(fd);
    }));
    Settings& settings = m_gateway.m_app.m_settings;
    settings.ListenV6 = strNoIPv6.empty() ? 1 : 0;
    settings.GreetWait = 2;
    ASSERT_TRUE(m_gateway.Start(mail.Port()));
    const int nPortIn = m_gateway.m_nPortIn;
    const auto log = [&] { return m_gateway.ActivityLog(); };

    // swaks waits for the greeting and is relayed after the wait; its next connection does not
    // wait (swaks gives up after 30 seconds, the wait is now a minute).
    EXPECT_TRUE(SendWithSwaks(nPortIn, "127.0.0.13", "after the wait"));
    settings.GreetWait = 60;
    m_gateway.Publish();
    EXPECT_TRUE(SendWithSwaks(nPortIn, "127.0.0.13", "second connection"));
    EXPECT_TRUE(WaitUntil([&] { return Contains(mail.Output(), "second connection"); }));
    EXPECT_TRUE(Contains(mail.Output(), "Subject: after the wait")) << mail.Output();
    EXPECT_EQ(Occurrences(log(), "Connection from 127.0.0.13 Accepted\r\n"), 2u) << log();

    settings.PortOut = raw.Port();
    m_gateway.Publish();
    // A new client gets nothing while it waits; one that sends EHLO at once gets the line alone.
    CRawClient silent, bot;
    ASSERT_TRUE(silent.Connect(nPortIn, "127.0.0.14"));
    ASSERT_TRUE(bot.Connect(nPortIn, "127.0.0.15"));
    ASSERT_TRUE(bot.SendAll("EHLO bot.example\r\n"));
    EXPECT_TRUE(bot.ReadUntilClosed());
    EXPECT_EQ(bot.m_strReceived, kTalkedFirstLine);
    EXPECT_TRUE(Contains(log(), " : Connection from 127.0.0.15 Rejected (Talked First)\r\n"));
    EXPECT_EQ(m_gateway.m_app.m_gateway.m_counters.m_nRejected, 1);
    // A monitor identifies itself at once and gets its status lines, relayed as always.
    CRawClient monitor;
    ASSERT_TRUE(monitor.Connect(nPortIn, "127.0.0.16"));
    ASSERT_TRUE(monitor.SendAll("MONITOR\n"));
    EXPECT_TRUE(monitor.ReadUntil([](const std::string& strIn) {
        const size_t nRej = strIn.find("REJ ");
        return nRej != std::string::npos && strIn.find("\r\n", nRej) != std::string::npos;
    })) << monitor.m_strReceived;
    EXPECT_TRUE(Contains(monitor.m_strReceived, "STAT 1\r\nCON          4\r\nREJ          1\r\n"))
        << monitor.m_strReceived;
    silent.ReadFor(300);
    EXPECT_EQ(silent.m_strReceived, "");
    // The monitor's channel alone: the bot reached nothing.
    EXPECT_TRUE(WaitUntil([&] { return nRawConnections == 1; }));
    silent.Close();
    monitor.Close();

    // Ten at once from one address with a limit of ten: the eleventh and twelfth get the 421
    // (logged once), the ten are relayed byte-exact.
    settings.GreetWait = 0;
    settings.ClientConnectionLimit = 10;
    m_gateway.Publish();
    std::vector<std::unique_ptr<CRawClient>> ten;
    for (int i = 0; i < 10; ++i) {
        ten.push_back(std::make_unique<CRawClient>());
        ASSERT_TRUE(ten.back()->Connect(nPortIn, "127.0.0.17"));
        ASSERT_TRUE(ten.back()->ReadUntilContains("220 relayed\r\n")) << i;
    }
    for (int i = 0; i < 2; ++i) {
        CRawClient over;
        ASSERT_TRUE(over.Connect(nPortIn, "127.0.0.17"));
        EXPECT_TRUE(over.ReadUntilClosed());
        EXPECT_EQ(over.m_strReceived, kTooManyLine);
    }
    for (size_t i = 0; i < ten.size(); ++i) {
        const std::string strStream = RandomStream(32 << 10, static_cast<unsigned>(i));
        ASSERT_TRUE(ten[i]->SendAll(strStream));
        EXPECT_TRUE(ten[i]->ReadUntil(
            [&](const std::string& strIn) { return strIn.size() >= 13 + strStream.size(); }));
        EXPECT_TRUE(ten[i]->m_strReceived == "220 relayed\r\n" + strStream) << i;
    }
    EXPECT_EQ(Occurrences(log(), "Connection from 127.0.0.17 Deferred (Too Many Connections)"), 1u);
    EXPECT_EQ(nRawConnections, 11);
    ten.clear();

    // Every zone silent: a client none listed is deferred, and the mail server sees nothing.
    // Zones that answer "not listed" defer nobody.
    settings.ClientConnectionLimit = 0;
    settings.DeferOnDnsFailure = 1;
    settings.ConcurrentScreening = 1;
    m_gateway.Publish();
    CRawClient answered;
    ASSERT_TRUE(answered.Connect(nPortIn, "127.0.0.22"));
    EXPECT_TRUE(answered.ReadUntilContains("220 relayed\r\n"));
    CSilentUdpSocket silentDns;
    setenv("TARNWICK_NAMESERVERS", silentDns.Nameserver().c_str(), 1);
    CRawClient deferred;
    ASSERT_TRUE(deferred.Connect(nPortIn, "127.0.0.18"));
    EXPECT_TRUE(deferred.ReadUntilClosed(20000));
    EXPECT_EQ(deferred.m_strReceived, kDeferLine);
    EXPECT_TRUE(
        Contains(log(), " : Connection from 127.0.0.18 Deferred (DNSBL Not Answering)\r\n"));
    EXPECT_EQ(nRawConnections, 12);  // 127.0.0.22 alone

    // Without the values the same clients are relayed as they always were.
    settings.DeferOnDnsFailure = 0;
    m_gateway.Publish();
    CRawClient stillSilent;
    ASSERT_TRUE(stillSilent.Connect(nPortIn, "127.0.0.19"));
    EXPECT_TRUE(stillSilent.ReadUntilContains("220 relayed\r\n", 20000));
    setenv("TARNWICK_NAMESERVERS", m_dnsbl.Nameserver().c_str(), 1);
    settings.ConcurrentScreening = 0;
    m_gateway.Publish();
    CRawClient talker;
    ASSERT_TRUE(talker.Connect(nPortIn, "127.0.0.20"));
    ASSERT_TRUE(talker.SendAll("EHLO at.once\r\n"));
    EXPECT_TRUE(talker.ReadUntilContains("220 relayed\r\nEHLO at.once\r\n"));
    std::vector<std::unique_ptr<CRawClient>> eleven;
    for (int i = 0; i < 11; ++i) {
        eleven.push_back(std::make_unique<CRawClient>());
        ASSERT_TRUE(eleven.back()->Connect(nPortIn, "127.0.0.21"));
        EXPECT_TRUE(eleven.back()->ReadUntilContains("220 relayed\r\n")) << i;
    }
    eleven.clear();
    EXPECT_TRUE(Contains(log(), "Connection from 127.0.0.20 Accepted\r\n"));
    EXPECT_EQ(Occurrences(log(), "Connection from 127.0.0.21 Accepted\r\n"), 11u) << log();
    EXPECT_FALSE(Contains(log(), "127.0.0.19 Deferred"));
    const CScreeningMetrics::CSnapshot figures =
        m_gateway.m_app.m_gateway.m_screening.Metrics().Snapshot();
    EXPECT_EQ(figures.clients, (std::array<std::uint64_t, 3>{1, 2, 1}));

    // Two IPv6 clients in one /64 share its count; another /64 has its own.
    if (!strNoIPv6.empty()) GTEST_SKIP() << strNoIPv6;
    settings.ClientConnectionLimit = 1;
    m_gateway.Publish();
    CRawClient first, sameNetwork, otherNetwork;
    ASSERT_TRUE(first.Connect(nPortIn, "2001:db8::21"));
    EXPECT_TRUE(first.ReadUntilContains("220 relayed\r\n"));
    ASSERT_TRUE(sameNetwork.Connect(nPortIn, "2001:db8::22"));
    EXPECT_TRUE(sameNetwork.ReadUntilClosed());
    EXPECT_EQ(sameNetwork.m_strReceived, kTooManyLine);
    ASSERT_TRUE(otherNetwork.Connect(nPortIn, "2001:db8:0:1::21"));
    EXPECT_TRUE(otherNetwork.ReadUntilContains("220 relayed\r\n"));
    EXPECT_TRUE(Contains(log(), "Connection from 2001:db8::22 Deferred (Too Many Connections)"));
    EXPECT_TRUE(m_gateway.Reports().empty());
}
