// The monitor protocol end to end: monitors are ordinary clients of the gateway's port that
// identify themselves, and then get the status lines.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/ClientSocket.h"
#include "tests/support/GatewayHarness.h"
#include "tests/support/RawPeer.h"

namespace {
// The status lines for one-digit values: nine blanks pad CON and REJ to ten places.
std::string Block(int nStat, int nCon, int nRej) {
    return "STAT " + std::to_string(nStat) + "\r\nCON          " + std::to_string(nCon) +
           "\r\nREJ          " + std::to_string(nRej) + "\r\n";
}

const size_t kBlock = Block(1, 0, 0).size();

bool HasSize(CRawClient& client, size_t nSize) {
    return client.ReadUntil([&](const std::string& s) { return s.size() >= nSize; });
}

// Keeps what each connection sent, after greeting it.
class CRecordingServer {
public:
    CRawServer m_server;
    std::mutex m_lock;
    std::vector<std::string> m_received;

    bool Start(int nPort = 0) {
        return m_server.Start(
            [this](int fd) {
                size_t nIndex;
                {
                    std::lock_guard<std::mutex> guard(m_lock);
                    nIndex = m_received.size();
                    m_received.emplace_back();
                }
                SendAllFd(fd, "220 raw\r\n", 9);
                char buffer[4096];
                for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
                    std::lock_guard<std::mutex> guard(m_lock);
                    m_received[nIndex].append(buffer, static_cast<size_t>(n));
                }
            },
            nPort);
    }
    std::string Received(size_t nIndex) {
        std::lock_guard<std::mutex> guard(m_lock);
        return nIndex < m_received.size() ? m_received[nIndex] : "";
    }
};

// A gateway relaying to a recording mail server.
class MonitorRelay : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.Start());
        ASSERT_TRUE(m_gateway.Start(m_server.m_server.Port()));
    }
    void TearDown() override { m_server.m_server.Stop(); }
    // Connects, takes the mail server's greeting, then identifies as a monitor.
    bool ConnectMonitor(CRawClient& monitor, const std::string& strFrom, int nReceiveBuffer = 0) {
        return monitor.Connect(m_gateway.m_nPortIn, strFrom, nReceiveBuffer) &&
               monitor.ReadUntilContains("220 raw\r\n") && monitor.SendAll("MONITOR\n") &&
               monitor.ReadUntilContains(Block(1, 0, 0));
    }

    CRecordingServer m_server;
    CGatewayHarness m_gateway;
};
}  // namespace

TEST(Monitor, IdentifiedMonitorsGetTheStatusLinesAfterEveryAccept) {
    CGatewayHarness gateway;
    ASSERT_TRUE(gateway.Start());

    CRawClient first;
    ASSERT_TRUE(first.Connect(gateway.m_nPortIn, "127.0.0.30"));
    ASSERT_TRUE(first.SendAll("MONITOR\n"));
    // The connection is taken out of CON again: nine blanks and 0.
    ASSERT_TRUE(HasSize(first, kBlock));
    EXPECT_EQ(first.m_strReceived, "STAT 1\r\nCON          0\r\nREJ          0\r\n");
    EXPECT_EQ(gateway.m_app.m_gateway.m_counters.m_nConnections, 0);

    CRawClient second;
    ASSERT_TRUE(second.Connect(gateway.m_nPortIn, "127.0.0.31"));
    ASSERT_TRUE(HasSize(first, 2 * kBlock));
    ASSERT_TRUE(second.SendAll("MONITOR with more words\r\n"));
    ASSERT_TRUE(HasSize(second, kBlock));
    ASSERT_TRUE(HasSize(first, 3 * kBlock));
    EXPECT_EQ(first.m_strReceived, Block(1, 0, 0) + Block(1, 1, 0) + Block(1, 0, 0));
    EXPECT_EQ(second.m_strReceived, Block(1, 0, 0));

    // An SMTP client's accept reaches both, newest connection first in the list.
    CRawClient smtp;
    ASSERT_TRUE(smtp.Connect(gateway.m_nPortIn, "127.0.0.32"));
    ASSERT_TRUE(HasSize(first, 4 * kBlock));
    ASSERT_TRUE(HasSize(second, 2 * kBlock));
    EXPECT_EQ(first.m_strReceived.substr(3 * kBlock), Block(1, 1, 0));
    EXPECT_EQ(second.m_strReceived.substr(kBlock), Block(1, 1, 0));
    EXPECT_EQ(gateway.Connections(), (std::vector<std::string>{"127.0.0.32 ", "127.0.0.31 Monitor",
                                                               "127.0.0.30 Monitor"}));
}

TEST_F(MonitorRelay, LowerCaseOrSplitIdentificationIsRelayedAsSmtp) {
    CRawClient lower;
    ASSERT_TRUE(lower.Connect(m_gateway.m_nPortIn, "127.0.0.33"));
    ASSERT_TRUE(lower.ReadUntilContains("220 raw\r\n"));
    ASSERT_TRUE(lower.SendAll("monitor\n"));
    ASSERT_TRUE(WaitUntil([&] { return m_server.Received(0) == "monitor\n"; }));

    CRawClient split;
    ASSERT_TRUE(split.Connect(m_gateway.m_nPortIn, "127.0.0.34"));
    ASSERT_TRUE(split.ReadUntilContains("220 raw\r\n"));
    ASSERT_TRUE(split.SendAll("MONI"));
    // Relayed already: the first block made it an SMTP connection.
    ASSERT_TRUE(WaitUntil([&] { return m_server.Received(1) == "MONI"; }));
    ASSERT_TRUE(split.SendAll("TOR\n"));
    ASSERT_TRUE(WaitUntil([&] { return m_server.Received(1) == "MONITOR\n"; }));

    EXPECT_EQ(m_gateway.m_app.m_gateway.m_counters.m_nConnections, 2);
    EXPECT_EQ(m_gateway.Connections(),
              (std::vector<std::string>{"127.0.0.34 SMTP", "127.0.0.33 SMTP"}));
    lower.ReadFor(100);
    EXPECT_EQ(lower.m_strReceived, "220 raw\r\n");
}

TEST_F(MonitorRelay, QuitInAnyCaseEndsTheMonitorAndItsChannel) {
    CRawClient monitor;
    ASSERT_TRUE(ConnectMonitor(monitor, "127.0.0.35"));
    // The channel is connected, so the mail server is told to quit.
    ASSERT_TRUE(WaitUntil([&] { return m_server.Received(0) == "QUIT\r\n\r\n"; }));
    EXPECT_EQ(monitor.m_strReceived, "220 raw\r\n" + Block(1, 0, 0));

    ASSERT_TRUE(monitor.SendAll("other lines are ignored\nquit\n"));
    EXPECT_TRUE(monitor.ReadUntilClosed());
    EXPECT_TRUE(WaitUntil([&] { return m_gateway.Connections().empty(); }));
}

// The mail server goes down: a client gets nothing and is dropped after the report, STAT 0 goes
// out once, monitors stay (whether their channel closes or never connects), and STAT 1 comes
// back with the server. Besides changes, every accept sends the lines.
TEST_F(MonitorRelay, MailServerDownReportsSendsStatZeroOnceAndOneWhenBack) {
    const int nMailPort = m_server.m_server.Port();
    CRawClient first;
    ASSERT_TRUE(ConnectMonitor(first, "127.0.0.36"));
    m_server.m_server.Stop();  // its connections end too

    CRawClient client;
    ASSERT_TRUE(client.Connect(m_gateway.m_nPortIn, "127.0.0.9"));
    EXPECT_TRUE(client.ReadUntilClosed());
    EXPECT_EQ(client.m_strReceived, "");
    ASSERT_TRUE(WaitUntil([&] { return m_gateway.Reports().size() == 1; }));
    const std::string strReport =
        "Could not connect to Mail Server Error " + std::to_string(ECONNREFUSED) + "\n";
    EXPECT_EQ(m_gateway.Reports()[0], strReport);
    EXPECT_EQ(m_gateway.m_boxes.Boxes()[0].strCaption, "Error");
    EXPECT_EQ(m_gateway.m_app.m_gateway.m_counters.m_nMailServerStatus, 0);
    const std::string strLog = m_gateway.ActivityLog();
    EXPECT_TRUE(Contains(strLog, "Connection from 127.0.0.9 Accepted")) << strLog;
    EXPECT_TRUE(Contains(strLog, strReport)) << strLog;

    // A second failure, for a client that identifies itself while the failure is handled.
    CRawClient second;
    ASSERT_TRUE(second.Connect(m_gateway.m_nPortIn, "127.0.0.11"));
    ASSERT_TRUE(second.SendAll("MONITOR\n"));
    ASSERT_TRUE(WaitUntil([&] { return m_gateway.Reports().size() == 2; }));
    second.ReadFor(700);
    EXPECT_FALSE(second.PeerClosed());
    EXPECT_EQ(second.m_strReceived, Block(0, 1, 0));
    EXPECT_EQ(m_gateway.Connections(),
              (std::vector<std::string>{"127.0.0.11 Monitor", "127.0.0.36 Monitor"}));

    CRecordingServer back;
    ASSERT_TRUE(back.Start(nMailPort));
    CRawClient third;
    ASSERT_TRUE(third.Connect(m_gateway.m_nPortIn, "127.0.0.38"));
    ASSERT_TRUE(third.ReadUntilContains("220 raw\r\n"));
    const std::string strBack = Block(0, 2, 0) + Block(1, 2, 0);
    const std::string strFirst = "220 raw\r\n" + Block(1, 0, 0) + Block(1, 1, 0) + Block(0, 1, 0) +
                                 Block(0, 2, 0) + Block(0, 1, 0) + strBack;
    ASSERT_TRUE(HasSize(first, strFirst.size()));
    EXPECT_EQ(first.m_strReceived, strFirst);
    ASSERT_TRUE(HasSize(second, 3 * kBlock));
    EXPECT_EQ(second.m_strReceived, Block(0, 1, 0) + strBack);
    EXPECT_FALSE(first.PeerClosed());
    EXPECT_EQ(m_gateway.m_app.m_gateway.m_counters.m_nMailServerStatus, 1);
    back.m_server.Stop();
}

// With MonitorFrom set, a "MONITOR" line from any other address is an SMTP client's first line;
// a PROXY-less listed address still becomes a monitor.
TEST_F(MonitorRelay, MonitorFromLetsOnlyListedAddressesBecomeMonitors) {
    m_gateway.m_app.m_settings.SetMonitorFrom(" 127.0.0.40 ,127.0.0.41");
    m_gateway.Publish();
    CRawClient listed;
    ASSERT_TRUE(ConnectMonitor(listed, "127.0.0.41"));

    CRawClient other;
    ASSERT_TRUE(other.Connect(m_gateway.m_nPortIn, "127.0.0.42"));
    ASSERT_TRUE(other.ReadUntilContains("220 raw\r\n"));
    ASSERT_TRUE(other.SendAll("MONITOR\nQUIT\n"));
    ASSERT_TRUE(WaitUntil([&] { return m_server.Received(1) == "MONITOR\nQUIT\n"; }));
    EXPECT_EQ(m_gateway.Connections(),
              (std::vector<std::string>{"127.0.0.42 SMTP", "127.0.0.41 Monitor"}));
    EXPECT_EQ(m_gateway.m_app.m_gateway.m_counters.m_nConnections, 1);
    // Nothing but entries that are not addresses still lets nobody in.
    m_gateway.m_app.m_settings.SetMonitorFrom("localhost");
    CRawClient named;
    ASSERT_TRUE(named.Connect(m_gateway.m_nPortIn, "127.0.0.1"));
    ASSERT_TRUE(named.ReadUntilContains("220 raw\r\n"));
    ASSERT_TRUE(named.SendAll("MONITOR\n"));
    ASSERT_TRUE(WaitUntil([&] { return m_server.Received(2) == "MONITOR\n"; }));
}

// Monitors that stop reading are closed once their queue passes the bound, without a report;
// one that reads gets every line, and no queue ever holds much more than the bound.
TEST_F(MonitorRelay, MonitorsThatStopReadingAreClosedAtTheQueueBound) {
    CRawClient reader;
    ASSERT_TRUE(ConnectMonitor(reader, "127.0.0.43"));
    std::vector<std::unique_ptr<CRawClient>> stalled;
    for (const char* pFrom : {"127.0.0.44", "127.0.0.45", "127.0.0.46"}) {
        stalled.push_back(std::make_unique<CRawClient>());
        ASSERT_TRUE(ConnectMonitor(*stalled.back(), pFrom, 4096));
    }
    // Each stalled monitor's accept and identification reached the reader.
    const size_t nBefore = 9 + 7 * kBlock;
    ASSERT_TRUE(HasSize(reader, nBefore));
    const size_t nLimit = CClientSocket::kMonitorQueueLimit + kBlock;
    size_t nLargest = 0, nSent = 0;
    // The kernel takes a few MB on loopback before a queue grows: a round sends 112 KB.
    for (int nRound = 0; nRound < 80 && m_gateway.Connections().size() > 1; ++nRound) {
        m_gateway.OnListener([&] {
            for (int i = 0; i < 2500; ++i) m_gateway.m_app.m_gateway.m_monitors.Send();
        });
        nSent += 2500;
        nLargest = std::max(nLargest, m_gateway.LargestQueue());
        ASSERT_TRUE(HasSize(reader, nBefore + nSent * kBlock));
    }
    EXPECT_LE(nLargest, nLimit);
    EXPECT_EQ(m_gateway.Connections(), std::vector<std::string>{"127.0.0.43 Monitor"});
    for (auto& pMonitor : stalled) EXPECT_TRUE(pMonitor->ReadUntilClosed());
    std::string strExpected;
    for (size_t i = 0; i < nSent; ++i) strExpected += Block(1, 0, 0);
    EXPECT_EQ(reader.m_strReceived.substr(nBefore), strExpected);
    EXPECT_TRUE(m_gateway.Reports().empty());
}
