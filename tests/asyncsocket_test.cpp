// The asynchronous socket and the loop timer, on real loopback sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/AsyncSocket.h"
#include "platform/LoopTimer.h"
#include "tests/support/Process.h"
#include "tests/support/Wait.h"

namespace {
using namespace std::chrono_literals;

// Records every notification it gets, and reads what arrives when asked to.
class CProbe : public CAsyncSocket {
public:
    bool m_bReadOnReceive = true;
    std::string m_strReceived;
    std::vector<std::string> m_events;
    int m_nCloseCode = -1;
    int m_nConnectCode = -1;
    int m_nSends = 0;
    int m_nReceives = 0;
    int m_nHangUps = 0;

    void OnReceive(int) override {
        ++m_nReceives;
        m_events.push_back("receive");
        if (!m_bReadOnReceive) return;
        char buffer[4096];
        const int n = Receive(buffer, sizeof buffer);
        if (n > 0) m_strReceived.append(buffer, n);
    }
    void OnSend(int) override {
        ++m_nSends;
        m_events.push_back("send");
    }
    void OnConnect(int nCode) override {
        m_nConnectCode = nCode;
        m_events.push_back("connect");
    }
    void OnClose(int nCode) override {
        m_nCloseCode = nCode;
        m_events.push_back("close");
    }
    void OnHangUp(int) override { ++m_nHangUps; }
};

class CProbeListener : public CAsyncSocket {
public:
    CProbe* m_pInto = nullptr;
    sockaddr_in m_peer{};
    int m_nAccepts = 0;
    void OnAccept(int) override {
        ++m_nAccepts;
        if (m_pInto == nullptr) return;
        socklen_t nLength = sizeof m_peer;
        EXPECT_TRUE(Accept(*m_pInto, reinterpret_cast<sockaddr*>(&m_peer), &nLength));
        EXPECT_EQ(nLength, 16u);
        m_pInto->AsyncSelect(FD_READ | FD_CLOSE);
    }
};

// A listener, and an accepted and a connected socket joined to each other.
struct CPair {
    CEventLoop& loop;
    CProbeListener listener;
    CProbe accepted;
    CProbe connector;
    int nPort = FreeTcpPort();

    explicit CPair(CEventLoop& rLoop) : loop(rLoop) {
        EXPECT_TRUE(listener.Create(nPort, SOCK_STREAM, FD_ACCEPT, "127.0.0.1"));
        EXPECT_TRUE(listener.Listen());
        listener.m_pInto = &accepted;
        EXPECT_TRUE(connector.Create(0, SOCK_STREAM, FD_ALL_EVENTS));
        connector.Connect("127.0.0.1", nPort);
        EXPECT_TRUE(PumpUntil(loop, [&] {
            return connector.m_nConnectCode == 0 && accepted.m_hSocket != INVALID_SOCKET;
        }));
    }
};
}  // namespace

TEST(AsyncSocket, ConnectAcceptDataThenCloseOnceAfterTheData) {
    CEventLoop loop;
    CPair pair(loop);
    EXPECT_EQ(ntohl(pair.listener.m_peer.sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_EQ(pair.listener.m_peer.sin_family, AF_INET);

    const std::string strBlock(100000, 'x');
    int nSent = 0;
    ASSERT_TRUE(PumpUntil(loop, [&] {
        const int n = pair.connector.Send(strBlock.data() + nSent, strBlock.size() - nSent);
        if (n > 0) nSent += n;
        return nSent == static_cast<int>(strBlock.size());
    }));
    pair.connector.Close();
    ASSERT_TRUE(PumpUntil(loop, [&] { return pair.accepted.m_nCloseCode != -1; }));
    EXPECT_EQ(pair.accepted.m_strReceived, strBlock);
    EXPECT_EQ(pair.accepted.m_nCloseCode, 0);
    EXPECT_EQ(pair.accepted.m_events.back(), "close");
    PumpFor(loop, 50ms);
    EXPECT_EQ(std::count(pair.accepted.m_events.begin(), pair.accepted.m_events.end(), "close"), 1);
}

TEST(AsyncSocket, ConnectOutcomesArriveOnceAsOnConnect) {
    CEventLoop loop;
    CProbe unknown;
    ASSERT_TRUE(unknown.Create());
    // An empty name resolves to nothing without asking any name server.
    EXPECT_FALSE(unknown.Connect("", 25));
    EXPECT_EQ(WSAGetLastError(), EHOSTUNREACH);
    ASSERT_TRUE(PumpUntil(loop, [&] { return unknown.m_nConnectCode != -1; }));
    EXPECT_EQ(unknown.m_nConnectCode, EHOSTUNREACH);

    // A host name is resolved; the connect then completes through the loop.
    CProbeListener listener;
    const int nPort = FreeTcpPort();
    ASSERT_TRUE(listener.Create(nPort, SOCK_STREAM, FD_ACCEPT, "127.0.0.1"));
    ASSERT_TRUE(listener.Listen());
    CProbe named;
    ASSERT_TRUE(named.Create());
    named.Connect("localhost", nPort);
    ASSERT_TRUE(PumpUntil(loop, [&] { return named.m_nConnectCode != -1; }));
    EXPECT_EQ(named.m_nConnectCode, 0);

    PumpFor(loop, 50ms);
    for (CProbe* pProbe : {&unknown, &named})
        EXPECT_EQ(std::count(pProbe->m_events.begin(), pProbe->m_events.end(), "connect"), 1);
}

TEST(AsyncSocket, WriteNotificationsFollowTheMask) {
    CEventLoop loop;
    CPair pair(loop);
    // Connected with FD_WRITE in the mask: one write notification, not a stream of them.
    ASSERT_TRUE(PumpUntil(loop, [&] { return pair.connector.m_nSends == 1; }));
    PumpFor(loop, 50ms);
    EXPECT_EQ(pair.connector.m_nSends, 1);

    // Asking again with FD_WRITE brings one more; FD_READ|FD_CLOSE brings none.
    pair.connector.AsyncSelect(FD_READ | FD_WRITE | FD_CLOSE);
    ASSERT_TRUE(PumpUntil(loop, [&] { return pair.connector.m_nSends == 2; }));
    pair.connector.AsyncSelect(FD_READ | FD_CLOSE);
    PumpFor(loop, 50ms);
    EXPECT_EQ(pair.connector.m_nSends, 2);

    // A send that would block brings a notification once the peer has drained the socket.
    pair.connector.AsyncSelect(FD_READ | FD_WRITE | FD_CLOSE);
    ASSERT_TRUE(PumpUntil(loop, [&] { return pair.connector.m_nSends == 3; }));
    const std::string strBlock(1 << 16, 'y');
    while (pair.connector.Send(strBlock.data(), strBlock.size()) > 0) {
    }
    EXPECT_EQ(WSAGetLastError(), EWOULDBLOCK);
    EXPECT_EQ(pair.connector.m_nSends, 3);
    ASSERT_TRUE(PumpUntil(loop, [&] { return pair.connector.m_nSends == 4; }));
}

TEST(AsyncSocket, UnreadDataIsNotAnnouncedAgainUntilReceive) {
    CEventLoop loop;
    CPair pair(loop);
    pair.accepted.m_bReadOnReceive = false;
    ASSERT_EQ(pair.connector.Send("abc", 3), 3);
    ASSERT_TRUE(PumpUntil(loop, [&] { return pair.accepted.m_nReceives == 1; }));
    PumpFor(loop, 50ms);
    EXPECT_EQ(pair.accepted.m_nReceives, 1);
    // The close waits behind the unread data; a Receive re-arms both.
    pair.connector.Close();
    PumpFor(loop, 50ms);
    EXPECT_EQ(pair.accepted.m_nCloseCode, -1);
    char buffer[8];
    EXPECT_EQ(pair.accepted.Receive(buffer, sizeof buffer), 3);
    ASSERT_TRUE(PumpUntil(loop, [&] { return pair.accepted.m_nCloseCode == 0; }));
}

// With reading left out of the mask, the peer's close still arrives, once, as a hang-up; the data
// sent before it waits, and comes, followed by the close, once reading is asked for again.
TEST(AsyncSocket, AHangUpWhileReadingIsPausedArrivesOnceAndTheDataStays) {
    CEventLoop loop;
    CPair pair(loop);
    pair.accepted.AsyncSelect(FD_CLOSE);
    ASSERT_EQ(pair.connector.Send("abc", 3), 3);
    pair.connector.Close();
    ASSERT_TRUE(PumpUntil(loop, [&] { return pair.accepted.m_nHangUps == 1; }));
    PumpFor(loop, 50ms);
    EXPECT_EQ(pair.accepted.m_nHangUps, 1);
    EXPECT_EQ(pair.accepted.m_nReceives, 0);
    EXPECT_EQ(pair.accepted.m_nCloseCode, -1);
    pair.accepted.AsyncSelect(FD_READ | FD_CLOSE);
    ASSERT_TRUE(PumpUntil(loop, [&] { return pair.accepted.m_nCloseCode == 0; }));
    EXPECT_EQ(pair.accepted.m_strReceived, "abc");
}

TEST(AsyncSocket, ResetArrivesAsCloseWithItsCode) {
    CEventLoop loop;
    CPair pair(loop);
    linger hard{1, 0};
    setsockopt(pair.connector.m_hSocket, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    pair.connector.Close();
    ASSERT_TRUE(PumpUntil(loop, [&] { return pair.accepted.m_nCloseCode != -1; }));
    EXPECT_EQ(pair.accepted.m_nCloseCode, ECONNRESET);
}

TEST(LoopTimer, FiresOnceAndStopCancels) {
    CEventLoop loop;
    int nFired = 0;
    CLoopTimer timer;
    ASSERT_TRUE(timer.Start(20, [&] { ++nFired; }));
    ASSERT_TRUE(PumpUntil(loop, [&] { return nFired == 1; }));
    PumpFor(loop, 60ms);
    EXPECT_EQ(nFired, 1);
    ASSERT_TRUE(timer.Start(20, [&] { ++nFired; }));
    timer.Stop();
    PumpFor(loop, 60ms);
    EXPECT_EQ(nFired, 1);
}
