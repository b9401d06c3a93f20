// The line socket: lines and words from received blocks, and the send pump on a real socket.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "gateway/LineSocket.h"
#include "tests/support/Process.h"
#include "tests/support/RawPeer.h"
#include "tests/support/Wait.h"

namespace {

// Records the lines it is given and the size of every send it makes.
class CProbeLineSocket : public CLineSocket {
public:
    std::vector<std::string> m_lines;
    std::vector<int> m_sends;
    void ProcessLine() override { m_lines.push_back(m_strLine); }
    int Send(const void* pBuffer, int nLength, int nFlags) override {
        const int nSent = CLineSocket::Send(pBuffer, nLength, nFlags);
        if (nSent > 0) m_sends.push_back(nSent);
        return nSent;
    }
    // Reads as a relay's end does: lines are kept, the peer's close ends reading.
    void OnReceive(int) override {
        CReceiveBuffer buffer;
        const int nCount = ReceiveBlock(buffer);
        if (nCount > 0) RunLineLoop(buffer.data(), nCount);
        if (nCount == 0) PeerClosed();
    }
    void OnClose(int) override { PeerClosed(); }
    void Feed(const std::string& strBlock) {
        RunLineLoop(strBlock.data(), static_cast<int>(strBlock.size()));
    }
};

class CAcceptInto : public CAsyncSocket {
public:
    CAsyncSocket* m_pInto = nullptr;
    void OnAccept(int) override { Accept(*m_pInto); }
};

// A line socket accepted from a raw client of this thread.
struct CConnected {
    CEventLoop loop;
    CAcceptInto listener;
    CProbeLineSocket socket;
    CRawClient peer;

    CConnected() {
        const int nPort = FreeTcpPort();
        EXPECT_TRUE(listener.Create(nPort, SOCK_STREAM, FD_ACCEPT, "127.0.0.1"));
        EXPECT_TRUE(listener.Listen());
        listener.m_pInto = &socket;
        EXPECT_TRUE(peer.Connect(nPort));
        EXPECT_TRUE(PumpUntil(loop, [&] { return socket.m_hSocket != INVALID_SOCKET; }));
        socket.AsyncSelect(FD_READ | FD_CLOSE);
    }
};
}  // namespace

TEST(LineSocket, LinesAreCutAtLfWhateverTheBlocks) {
    CEventLoop loop;
    CProbeLineSocket socket;
    ASSERT_TRUE(socket.Create());

    socket.Feed("HELO a\r\nMAIL FROM:<b>\r\n");
    EXPECT_EQ(socket.m_lines, (std::vector<std::string>{"HELO a\r\n", "MAIL FROM:<b>\r\n"}));

    socket.m_lines.clear();
    socket.Feed("RCPT TO:");
    EXPECT_TRUE(socket.m_lines.empty());
    EXPECT_EQ(socket.m_strPartial, "RCPT TO:");
    socket.Feed("<c>\r\nDA");
    EXPECT_EQ(socket.m_lines, (std::vector<std::string>{"RCPT TO:<c>\r\n"}));
    EXPECT_EQ(socket.m_strPartial, "DA");

    // A line without LF stops growing at the buffer size: it is cut there.
    socket.m_lines.clear();
    socket.m_strPartial.clear();
    socket.Feed(std::string(CLineSocket::kBufferSize - 1, 'x'));
    EXPECT_TRUE(socket.m_lines.empty());
    socket.Feed("yz\n");
    ASSERT_EQ(socket.m_lines.size(), 2u);
    EXPECT_EQ(socket.m_lines[0], std::string(CLineSocket::kBufferSize - 1, 'x') + "y");
    EXPECT_EQ(socket.m_lines[1], "z\n");

    // A closed socket takes no more lines.
    socket.m_lines.clear();
    socket.m_nState = 0;
    socket.Feed("QUIT\n");
    EXPECT_TRUE(socket.m_lines.empty());
}

TEST(LineSocket, WordsAreSplitAtSpacesOnly) {
    CEventLoop loop;
    CProbeLineSocket socket;
    ASSERT_TRUE(socket.Create());
    auto words = [&](const std::string& strLine) {
        socket.m_strLine = strLine;
        socket.TokenizeLine();
        return std::vector<std::string>(socket.m_strWords, socket.m_strWords + 5);
    };
    EXPECT_EQ(words("  MAIL   FROM:<a@b>   \r\n"),
              (std::vector<std::string>{"MAIL", "FROM:<a@b>", "", "", ""}));
    EXPECT_EQ(words("   \t \r\n"), (std::vector<std::string>{"", "", "", "", ""}));
    EXPECT_EQ(words("a b c d e f g\n"), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(words("x\ty z\rignored after CR\n"),
              (std::vector<std::string>{"x\ty", "z", "", "", ""}));

    words("Quit\r\n");
    EXPECT_TRUE(socket.IsCommand("quit"));
    EXPECT_TRUE(socket.IsCommand("QUIT"));
    EXPECT_FALSE(socket.IsCommand("QUI"));
    words("  \n");
    EXPECT_FALSE(socket.IsCommand("QUIT"));
    EXPECT_TRUE(socket.IsCommand(""));
}

TEST(LineSocket, QueueLeavesInBlocksOfAtMost20480ThenClosedSocketsDropText) {
    CConnected pair;
    std::string strData(50000, '\0');
    for (size_t i = 0; i < strData.size(); ++i) strData[i] = static_cast<char>(i * 7 % 256);
    pair.socket.SendRaw(strData.data(), static_cast<int>(strData.size()));
    // The first send goes at once; the rest waits for write notifications.
    EXPECT_EQ(pair.socket.m_sends, std::vector<int>{20480});
    EXPECT_EQ(pair.socket.EventMask(), FD_READ | FD_WRITE | FD_CLOSE);
    ASSERT_TRUE(PumpUntil(pair.loop, [&] { return pair.socket.m_strSendQueue.IsEmpty(); }));
    EXPECT_EQ(pair.socket.m_sends, (std::vector<int>{20480, 20480, 9040}));
    ASSERT_TRUE(
        PumpUntil(pair.loop, [&] { return pair.socket.EventMask() == (FD_READ | FD_CLOSE); }));
    ASSERT_TRUE(pair.peer.ReadUntil([&](const std::string& s) { return s.size() >= 50000; }));
    EXPECT_EQ(pair.peer.m_strReceived, strData);  // NUL bytes included

    // Once the handle is gone, text marks the socket closed and goes nowhere.
    pair.socket.Close();
    pair.socket.SendText("lost\r\n");
    EXPECT_EQ(pair.socket.m_nState, 0);
    EXPECT_TRUE(pair.socket.m_strSendQueue.IsEmpty());
    EXPECT_TRUE(pair.peer.ReadUntilClosed());
    EXPECT_EQ(pair.peer.m_strReceived, strData);
}

// Closing after the queue has drained: a peer that keeps reading, however slowly, gets every
// byte queued before the close (a drain of several seconds); a peer that takes nothing at all
// is given up on, and the socket closes anyway.
TEST(LineSocket, CloseAfterDrainWaitsForASlowReaderButNotForAStalledOne) {
    const std::string strData(320 << 10, 'm');
    auto closeAfterDrain = [&](CConnected& c) {
        const int nSmall = 4096;  // small kernel buffers, so the bytes wait in the queue
        setsockopt(c.socket.m_hSocket, SOL_SOCKET, SO_SNDBUF, &nSmall, sizeof nSmall);
        setsockopt(c.peer.Fd(), SOL_SOCKET, SO_RCVBUF, &nSmall, sizeof nSmall);
        c.socket.SendRaw(strData.data(), static_cast<int>(strData.size()));
        c.socket.CloseAfterDrain();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (c.socket.m_hSocket != INVALID_SOCKET && std::chrono::steady_clock::now() < deadline)
            PumpFor(c.loop, std::chrono::milliseconds(50));
        return c.socket.m_hSocket == INVALID_SOCKET;
    };

    CConnected slow;
    std::thread reader([&] {
        // One read of at most a few KiB every 200 ms: far longer than the stall bound in all.
        for (;;) {
            const size_t nBefore = slow.peer.m_strReceived.size();
            auto bMore = [nBefore](const std::string& strSoFar) {
                return strSoFar.size() > nBefore;
            };
            if (!slow.peer.ReadUntil(bMore, 30000) || slow.peer.PeerClosed()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    EXPECT_TRUE(closeAfterDrain(slow));
    reader.join();
    EXPECT_EQ(slow.peer.m_strReceived.size(), strData.size());
    EXPECT_TRUE(slow.peer.m_strReceived == strData);

    CConnected stalled;
    EXPECT_TRUE(closeAfterDrain(stalled));
    EXPECT_LT(stalled.peer.m_strReceived.size(), strData.size());
}

// Ending only the sending direction: the peer gets the whole queue and then the end, while the
// socket still reads what the peer sends; it closes once the peer has closed too.
TEST(LineSocket, ShutdownAfterDrainSendsEverythingThenReadsOnUntilThePeerCloses) {
    CConnected pair;
    const std::string strData(300000, 'q');
    pair.socket.SendRaw(strData.data(), static_cast<int>(strData.size()));
    pair.socket.ShutdownAfterDrain();
    auto pumpAndRead = [&](const std::function<bool()>& bDone) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!bDone() && std::chrono::steady_clock::now() < deadline) {
            PumpFor(pair.loop, std::chrono::milliseconds(5));
            pair.peer.ReadFor(5);
        }
        return bDone();
    };
    ASSERT_TRUE(pumpAndRead([&] { return pair.peer.PeerClosed(); }));
    EXPECT_TRUE(pair.peer.m_strReceived == strData) << pair.peer.m_strReceived.size();
    EXPECT_TRUE(pair.socket.IsSendingOver());
    ASSERT_TRUE(pair.peer.SendAll("still read\n"));
    ASSERT_TRUE(pumpAndRead([&] { return !pair.socket.m_lines.empty(); }));
    EXPECT_EQ(pair.socket.m_lines, std::vector<std::string>{"still read\n"});
    EXPECT_NE(pair.socket.m_hSocket, INVALID_SOCKET);
    pair.peer.Close();
    EXPECT_TRUE(PumpUntil(pair.loop, [&] { return pair.socket.m_hSocket == INVALID_SOCKET; }));
}

// A buffer is lent to one handler at a time: a handler entered again further down the stack gets
// another, and a buffer given back is lent again rather than a new one made.
TEST(LineSocket, ReceiveBuffersAreNeverLentTwiceAtOnce) {
    char* pOuter = nullptr;
    char* pInner = nullptr;
    {
        CReceiveBuffer outer;
        pOuter = outer.data();
        {
            CReceiveBuffer inner;
            pInner = inner.data();
            EXPECT_NE(pInner, pOuter);
        }
        CReceiveBuffer again;
        EXPECT_EQ(again.data(), pInner);
    }
    CReceiveBuffer first, second;
    EXPECT_EQ(first.data(), pOuter);
    EXPECT_EQ(second.data(), pInner);
}
