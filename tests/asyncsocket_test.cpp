// The asynchronous socket and the worker thread on real loopback sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/AsyncSocket.h"
#include "platform/LoopTimer.h"
#include "platform/WinThread.h"
#include "tests/support/Process.h"

namespace {
using namespace std::chrono_literals;

// Pumps the calling thread's loop until bDone() holds or 10 s have passed.
bool PumpUntil(CEventLoop& loop, const std::function<bool()>& bDone) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!bDone()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        if (loop.Pump(CEventLoop::kPumpLimit) == 0) std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Pumps for a while and returns how many items were dispatched.
int PumpFor(CEventLoop& loop, std::chrono::milliseconds span) {
    int nCount = 0;
    const auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end) {
        const int n = loop.Pump(CEventLoop::kPumpLimit);
        nCount += n;
        if (n == 0) std::this_thread::sleep_for(1ms);
    }
    return nCount;
}

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
    CProbe refused;
    ASSERT_TRUE(refused.Create());
    EXPECT_FALSE(refused.Connect("127.0.0.1", FreeTcpPort()));
    ASSERT_TRUE(PumpUntil(loop, [&] { return refused.m_nConnectCode != -1; }));
    EXPECT_EQ(refused.m_nConnectCode, ECONNREFUSED);

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
    for (CProbe* pProbe : {&refused, &unknown, &named})
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

TEST(AsyncSocket, ResetArrivesAsCloseWithItsCode) {
    CEventLoop loop;
    CPair pair(loop);
    linger hard{1, 0};
    setsockopt(pair.connector.m_hSocket, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    pair.connector.Close();
    ASSERT_TRUE(PumpUntil(loop, [&] { return pair.accepted.m_nCloseCode != -1; }));
    EXPECT_EQ(pair.accepted.m_nCloseCode, ECONNRESET);
}

TEST(AsyncSocket, CreateReportsAPortInUse) {
    CEventLoop loop;
    CProbeListener first;
    const int nPort = FreeTcpPort();
    ASSERT_TRUE(first.Create(nPort, SOCK_STREAM, FD_ACCEPT));
    ASSERT_TRUE(first.Listen());
    CProbeListener second;
    EXPECT_FALSE(second.Create(nPort, SOCK_STREAM, FD_ACCEPT));
    EXPECT_EQ(WSAGetLastError(), EADDRINUSE);
    EXPECT_EQ(second.m_hSocket, INVALID_SOCKET);
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

namespace {
struct CThreadTrace {
    std::atomic<int> nInit{0}, nIdle{0}, nExit{0}, nDeleted{0};
};

class CTracedThread : public CWinThread {
public:
    static CThreadTrace* s_pTrace;
    ~CTracedThread() override { ++s_pTrace->nDeleted; }
    BOOL InitInstance() override {
        ++s_pTrace->nInit;
        return TRUE;
    }
    BOOL OnIdle(LONG lCount) override {
        ++s_pTrace->nIdle;
        return CWinThread::OnIdle(lCount);
    }
    int ExitInstance() override {
        ++s_pTrace->nExit;
        return 0;
    }
};
CThreadTrace* CTracedThread::s_pTrace = nullptr;

bool WaitFor(const std::function<bool()>& bDone) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!bDone()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}
}  // namespace

TEST(WinThread, RunsInitIdleExitThenDeletesItselfAndLatePostsAreSafe) {
    CThreadTrace trace;
    CTracedThread::s_pTrace = &trace;
    CLoopPoster poster;
    ASSERT_NE(AfxBeginThread<CTracedThread>(&poster), nullptr);
    ASSERT_TRUE(WaitFor([&] { return trace.nIdle > 0; }));
    EXPECT_EQ(trace.nInit, 1);
    // A posted item wakes the loop, which goes idle again afterwards.
    const int nIdleBefore = trace.nIdle;
    std::atomic<bool> bRan{false};
    EXPECT_TRUE(poster.Post([&] { bRan = true; }));
    ASSERT_TRUE(WaitFor([&] { return bRan && trace.nIdle > nIdleBefore; }));

    EXPECT_TRUE(poster.PostQuit());
    ASSERT_TRUE(WaitFor([&] { return trace.nDeleted == 1; }));
    EXPECT_EQ(trace.nExit, 1);
    // The thread and its loop are gone: posting is dropped, not a crash.
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(poster.PostQuit());
}
