// The monitor protocol end to end: monitors are ordinary clients of the gateway's port that
// identify themselves, and then get the status lines.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "tests/support/GatewayHarness.h"
#include "tests/support/Process.h"
#include "tests/support/RawPeer.h"

namespace {
std::string Block(int nStat, long nCon, long nRej) {
    char szBlock[96];
    std::snprintf(szBlock, sizeof szBlock, "STAT %d\r\nCON %10ld\r\nREJ %10ld\r\n", nStat, nCon,
                  nRej);
    return szBlock;
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
    EXPECT_EQ(gateway.m_app.m_nConnections, 0);

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

TEST(Monitor, LowerCaseOrSplitIdentificationIsRelayedAsSmtp) {
    CRecordingServer server;
    ASSERT_TRUE(server.Start());
    CGatewayHarness gateway;
    gateway.UseMailServer(server.m_server.Port());
    ASSERT_TRUE(gateway.Start());

    CRawClient lower;
    ASSERT_TRUE(lower.Connect(gateway.m_nPortIn, "127.0.0.33"));
    ASSERT_TRUE(lower.ReadUntilContains("220 raw\r\n"));
    ASSERT_TRUE(lower.SendAll("monitor\n"));
    ASSERT_TRUE(WaitUntil([&] { return server.Received(0) == "monitor\n"; }));

    CRawClient split;
    ASSERT_TRUE(split.Connect(gateway.m_nPortIn, "127.0.0.34"));
    ASSERT_TRUE(split.ReadUntilContains("220 raw\r\n"));
    ASSERT_TRUE(split.SendAll("MONI"));
    // Relayed already: the first block made it an SMTP connection.
    ASSERT_TRUE(WaitUntil([&] { return server.Received(1) == "MONI"; }));
    ASSERT_TRUE(split.SendAll("TOR\n"));
    ASSERT_TRUE(WaitUntil([&] { return server.Received(1) == "MONITOR\n"; }));

    EXPECT_EQ(gateway.m_app.m_nConnections, 2);
    EXPECT_EQ(gateway.Connections(),
              (std::vector<std::string>{"127.0.0.34 SMTP", "127.0.0.33 SMTP"}));
    lower.ReadFor(100);
    EXPECT_EQ(lower.m_strReceived, "220 raw\r\n");
    server.m_server.Stop();
}

TEST(Monitor, QuitInAnyCaseEndsTheMonitorAndItsChannel) {
    CRecordingServer server;
    ASSERT_TRUE(server.Start());
    CGatewayHarness gateway;
    gateway.UseMailServer(server.m_server.Port());
    ASSERT_TRUE(gateway.Start());

    CRawClient monitor;
    ASSERT_TRUE(monitor.Connect(gateway.m_nPortIn, "127.0.0.35"));
    ASSERT_TRUE(monitor.ReadUntilContains("220 raw\r\n"));
    ASSERT_TRUE(monitor.SendAll("MONITOR\n"));
    // The channel is connected, so the mail server is told to quit.
    ASSERT_TRUE(WaitUntil([&] { return server.Received(0) == "QUIT\r\n\r\n"; }));
    ASSERT_TRUE(monitor.ReadUntilContains(Block(1, 0, 0)));
    EXPECT_EQ(monitor.m_strReceived, "220 raw\r\n" + Block(1, 0, 0));

    ASSERT_TRUE(monitor.SendAll("other lines are ignored\nquit\n"));
    EXPECT_TRUE(monitor.ReadUntilClosed());
    EXPECT_TRUE(WaitUntil([&] { return gateway.Connections().empty(); }));
    server.m_server.Stop();  // returns only once the channel's connection has ended
}

// STAT follows the outcome of the last connection to the mail server; only changes are sent
// on their own, besides the lines every accept sends.
TEST(Monitor, MailServerDownSendsStatZeroOnceAndOneWhenBack) {
    CRecordingServer server;
    ASSERT_TRUE(server.Start());
    const int nMailPort = server.m_server.Port();
    CGatewayHarness gateway;
    gateway.UseMailServer(nMailPort);
    ASSERT_TRUE(gateway.Start());

    CRawClient monitor;
    ASSERT_TRUE(monitor.Connect(gateway.m_nPortIn, "127.0.0.36"));
    ASSERT_TRUE(monitor.ReadUntilContains("220 raw\r\n"));
    ASSERT_TRUE(monitor.SendAll("MONITOR\n"));
    ASSERT_TRUE(monitor.ReadUntilContains(Block(1, 0, 0)));
    server.m_server.Stop();  // the mail server goes down; its connections end too

    std::string strExpected = "220 raw\r\n" + Block(1, 0, 0);
    for (int nClient = 1; nClient <= 2; ++nClient) {
        CRawClient client;
        ASSERT_TRUE(client.Connect(gateway.m_nPortIn, "127.0.0.37"));
        EXPECT_TRUE(client.ReadUntilClosed());
        EXPECT_EQ(client.m_strReceived, "");
        ASSERT_TRUE(WaitUntil([&] { return gateway.m_boxes.Count() == size_t(nClient); }));
        strExpected += Block(nClient == 1 ? 1 : 0, nClient, 0);
        if (nClient == 1) strExpected += Block(0, 1, 0);
    }
    CRecordingServer back;
    ASSERT_TRUE(back.Start(nMailPort));
    CRawClient client;
    ASSERT_TRUE(client.Connect(gateway.m_nPortIn, "127.0.0.38"));
    ASSERT_TRUE(client.ReadUntilContains("220 raw\r\n"));
    strExpected += Block(0, 3, 0) + Block(1, 3, 0);
    ASSERT_TRUE(
        monitor.ReadUntil([&](const std::string& s) { return s.size() >= strExpected.size(); }));
    EXPECT_EQ(monitor.m_strReceived, strExpected);
    EXPECT_FALSE(monitor.PeerClosed());  // a monitor outlives its failed channel
    EXPECT_EQ(gateway.m_app.m_nMailServerStatus, 1);
    back.m_server.Stop();
}
