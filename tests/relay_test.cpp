// The relay end to end: the listener thread in this process, real clients on loopback, a real
// mail server or a raw server for byte-exact streams.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "gateway/LineSocket.h"
#include "tests/support/GatewayHarness.h"
#include "tests/support/MailServer.h"
#include "tests/support/Process.h"
#include "tests/support/RawPeer.h"

namespace {
using namespace std::chrono_literals;

// Sends in blocks of random size (1 byte to 64 KiB).
bool SendInRandomBlocks(int fd, const std::string& strData, unsigned nSeed) {
    std::mt19937 random(nSeed);
    for (size_t nDone = 0; nDone < strData.size();) {
        const size_t nBlock = std::min<size_t>(1 + random() % 65536, strData.size() - nDone);
        if (!SendAllFd(fd, strData.data() + nDone, nBlock)) return false;
        nDone += nBlock;
    }
    return true;
}

// Reads until the peer closes or nWanted bytes have come.
std::string ReceiveUpTo(int fd, size_t nWanted) {
    std::string strData;
    char buffer[65536];
    while (strData.size() < nWanted) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        strData.append(buffer, static_cast<size_t>(n));
    }
    return strData;
}
}  // namespace

TEST(Relay, SmtpDialoguesWithSwaksAndSmtplibReachTheMailServer) {
    CMailServer server;
    ASSERT_TRUE(server.StartAiosmtpd()) << server.Output();
    CGatewayHarness gateway;
    ASSERT_TRUE(gateway.Start(server.Port()));

    CTempDir work;
    CChildProcess swaks;
    ASSERT_TRUE(swaks.Start(
        {"swaks", "--server", "127.0.0.1", "--port", std::to_string(gateway.m_nPortIn),
         "--local-interface", "127.0.0.5", "--from", "alice@example.org", "--to", "bob@example.org",
         "--header", "Subject: through the gateway", "--body", "swaks body line"},
        "", {}, work.File("swaks.out")));
    EXPECT_EQ(swaks.Wait(30000), 0) << ReadFileBytes(work.File("swaks.out"));
    EXPECT_TRUE(Contains(ReadFileBytes(work.File("swaks.out")), "<-  250"));

    const std::string strScript =
        "import smtplib\n"
        "s = smtplib.SMTP('127.0.0.1', " +
        std::to_string(gateway.m_nPortIn) +
        ", source_address=('127.0.0.6', 0), timeout=20)\n"
        "s.ehlo('client.example')\n"
        "s.sendmail('carol@example.org', ['dave@example.org'],\n"
        "           'Subject: smtplib\\r\\n\\r\\nline one\\r\\n.leading dot\\r\\n')\n"
        "print('quit', s.quit()[0])\n";
    WriteFileBytes(work.File("client.py"), strScript);
    CChildProcess smtplib;
    ASSERT_TRUE(smtplib.Start({"/usr/bin/python3", work.File("client.py")}, "", {},
                              work.File("smtplib.out")));
    EXPECT_EQ(smtplib.Wait(30000), 0) << ReadFileBytes(work.File("smtplib.out"));
    EXPECT_TRUE(Contains(ReadFileBytes(work.File("smtplib.out")), "quit 221"));

    ASSERT_TRUE(WaitUntil([&] { return Contains(server.Output(), "leading dot"); }))
        << server.Output();
    const std::string strDelivered = server.Output();
    EXPECT_TRUE(Contains(strDelivered, "Subject: through the gateway"));
    EXPECT_TRUE(Contains(strDelivered, "swaks body line"));
    EXPECT_TRUE(Contains(strDelivered, ".leading dot"));  // the dot-stuffing went through untouched

    const std::string strLog = gateway.ActivityLog();
    EXPECT_TRUE(Contains(strLog, " : Connection from 127.0.0.5 Accepted\r\n")) << strLog;
    EXPECT_TRUE(Contains(strLog, " : Connection from 127.0.0.6 Accepted\r\n")) << strLog;
    EXPECT_EQ(gateway.m_app.m_gateway.m_counters.m_nConnections, 2);
    EXPECT_EQ(gateway.m_app.m_gateway.m_counters.m_nRejected, 0);
    EXPECT_TRUE(gateway.Reports().empty());
    // Both finished connections are freed at the end of a loop pass, and the monitor window is
    // asked to look again.
    EXPECT_TRUE(WaitUntil([&] { return gateway.Connections().empty(); }));
    const int nRefreshes = gateway.m_window.m_nRefreshes;
    gateway.OnListener([] {});  // a pass that frees nothing asks for nothing
    EXPECT_EQ(gateway.m_window.m_nRefreshes, nRefreshes);
}

// Both ends write and read at once; each knows how much the other sends. The client closes as
// soon as it has written everything and read everything, so what the gateway still holds for
// the mail server must go out before the close reaches it.
TEST(Relay, RawStreamsArriveByteExactInBothDirectionsBeforeTheClientsClose) {
    const std::string strUp = RandomStream(6 << 20, 1);
    const std::string strDown = RandomStream(5 << 20, 2);
    std::string strServerGot;
    std::atomic<bool> bServerDone{false};
    CRawServer server;
    ASSERT_TRUE(server.Start([&](int fd) {
        std::thread writer([&] { SendInRandomBlocks(fd, strDown, 3); });
        strServerGot = ReceiveUpTo(fd, strUp.size() + 1);
        writer.join();
        bServerDone = true;
    }));
    CGatewayHarness gateway;
    ASSERT_TRUE(gateway.Start(server.Port()));

    CRawClient client;
    ASSERT_TRUE(client.Connect(gateway.m_nPortIn, "127.0.0.7"));
    std::thread writer([&] { SendInRandomBlocks(client.Fd(), strUp, 4); });
    EXPECT_TRUE(
        client.ReadUntil([&](const std::string& s) { return s.size() >= strDown.size(); }, 60000));
    writer.join();
    client.Close();
    EXPECT_TRUE(client.m_strReceived == strDown) << client.m_strReceived.size();
    ASSERT_TRUE(WaitUntil([&] { return bServerDone.load(); }, 60000));
    EXPECT_TRUE(strServerGot == strUp) << strServerGot.size();
    EXPECT_TRUE(WaitUntil([&] { return gateway.Connections().empty(); }));
    server.Stop();
}

// The mail server's accept queue is full, so the channel's connect stays pending (its SYN is
// dropped and sent again a second later) while the client already sends.
TEST(Relay, DataSentBeforeTheChannelConnectsIsDelivered) {
    const int fdListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLength = sizeof address;
    ASSERT_EQ(bind(fdListen, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(fdListen, 0), 0);
    ASSERT_EQ(getsockname(fdListen, reinterpret_cast<sockaddr*>(&address), &nLength), 0);
    CRawClient filler;
    ASSERT_TRUE(filler.Connect(ntohs(address.sin_port)));

    CGatewayHarness gateway;
    ASSERT_TRUE(gateway.Start(ntohs(address.sin_port)));
    CRawClient client;
    ASSERT_TRUE(client.Connect(gateway.m_nPortIn, "127.0.0.8"));
    ASSERT_TRUE(client.SendAll("EHLO early\r\nMAIL FROM:<a@b>\r\n"));
    // The block waits in the queue of a channel that is not connected yet.
    ASSERT_TRUE(WaitUntil([&] {
        const std::vector<CConnectionSnapshot> snapshot = gateway.Snapshot();
        return snapshot.size() == 1 && snapshot[0].nChannelConnectState == 0 &&
               snapshot[0].nChannelQueued == 29;
    }));

    const int fdFiller = accept(fdListen, nullptr, nullptr);
    pollfd entry{fdListen, POLLIN, 0};
    ASSERT_EQ(poll(&entry, 1, 20000), 1);
    const int fdChannel = accept(fdListen, nullptr, nullptr);
    ASSERT_GE(fdChannel, 0);
    EXPECT_EQ(ReceiveUpTo(fdChannel, 29), "EHLO early\r\nMAIL FROM:<a@b>\r\n");
    ASSERT_TRUE(SendAllFd(fdChannel, "250 ok\r\n", 8));
    EXPECT_TRUE(client.ReadUntilContains("250 ok\r\n"));
    for (int fd : {fdFiller, fdChannel, fdListen}) close(fd);
}

TEST(Relay, MailServerCloseClosesTheClientAfterTheLastReply) {
    const std::string strReply = "221 bye\r\n" + RandomStream(2 << 20, 5);
    CRawServer server;
    ASSERT_TRUE(server.Start([&](int fd) {
        ReceiveUpTo(fd, 6);
        SendAllFd(fd, strReply.data(), strReply.size());
        shutdown(fd, SHUT_RDWR);
    }));
    CGatewayHarness gateway;
    ASSERT_TRUE(gateway.Start(server.Port()));

    CRawClient client;
    ASSERT_TRUE(client.Connect(gateway.m_nPortIn));
    ASSERT_TRUE(client.SendAll("QUIT\r\n"));
    // Read slowly at first, so that the reply is still queued in the gateway at the close.
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(client.ReadUntilClosed());
    EXPECT_TRUE(client.m_strReceived == strReply) << client.m_strReceived.size();
    EXPECT_TRUE(WaitUntil([&] { return gateway.Connections().empty(); }));
    server.Stop();
}

// Failures handled while another failure waits for its client's first block do not wait in
// turn, so a burst is dropped promptly instead of nesting one wait inside the next.
TEST(Relay, BurstWhileTheMailServerIsDownIsDroppedAndReported) {
    CGatewayHarness gateway;
    ASSERT_TRUE(gateway.Start(FreeTcpPort()));
    constexpr int kClients = 100;
    std::vector<CRawClient> clients(kClients);
    for (CRawClient& client : clients) ASSERT_TRUE(client.Connect(gateway.m_nPortIn, "127.0.0.15"));
    for (CRawClient& client : clients) {
        EXPECT_TRUE(client.ReadUntilClosed(30000));
        EXPECT_EQ(client.m_strReceived, "");
    }
    EXPECT_TRUE(WaitUntil([&] { return gateway.Reports().size() == size_t(kClients); }));
    EXPECT_TRUE(WaitUntil([&] { return gateway.Connections().empty(); }));
    EXPECT_EQ(gateway.m_app.m_gateway.m_counters.m_nConnections, kClients);
}

TEST(Relay, PortOutZeroAcceptsLogsAndGivesNothing) {
    CGatewayHarness gateway;
    ASSERT_TRUE(gateway.Start(0));
    CRawClient client;
    ASSERT_TRUE(client.Connect(gateway.m_nPortIn, "127.0.0.10"));
    ASSERT_TRUE(client.SendAll("EHLO nowhere\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return Contains(gateway.ActivityLog(), "127.0.0.10 Accepted"); }));
    client.ReadFor(300);
    EXPECT_EQ(client.m_strReceived, "");
    EXPECT_FALSE(client.PeerClosed());
    EXPECT_EQ(gateway.Connections(), std::vector<std::string>{"127.0.0.10 SMTP"});
    client.Close();
    EXPECT_TRUE(WaitUntil([&] { return gateway.Connections().empty(); }));
    EXPECT_TRUE(gateway.Reports().empty());
}

// A sink that reads slowly while the client writes as fast as it can: the gateway stops reading
// from the client instead of buffering, and every byte arrives in order.
TEST(Relay, SlowReaderKeepsTheGatewayBoundedAndLosesNothing) {
    constexpr size_t kTotal = 200u << 20;
    constexpr size_t kChunk = 1 << 20;
    auto chunkByte = [](size_t nOffset) { return static_cast<char>((nOffset * 131 + 7) % 251); };
    std::atomic<size_t> nReceived{0};
    std::atomic<bool> bIntact{true};
    CRawServer server;
    ASSERT_TRUE(server.Start([&](int fd) {
        std::vector<char> buffer(16384);
        for (;;) {
            const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) break;
            for (ssize_t i = 0; i < n; ++i)
                if (buffer[i] != chunkByte(nReceived + i)) bIntact = false;
            nReceived += static_cast<size_t>(n);
            if (nReceived < (8u << 20)) std::this_thread::sleep_for(2ms);  // slow at first
        }
    }));
    CGatewayHarness gateway;
    ASSERT_TRUE(gateway.Start(server.Port()));
    CRawClient client;
    ASSERT_TRUE(client.Connect(gateway.m_nPortIn));
    std::atomic<bool> bSent{false};
    std::thread writer([&] {
        std::string strChunk(kChunk, '\0');
        for (size_t nOffset = 0; nOffset < kTotal; nOffset += kChunk) {
            for (size_t i = 0; i < kChunk; ++i) strChunk[i] = chunkByte(nOffset + i);
            if (!client.SendAll(strChunk)) break;
        }
        client.ShutdownWrite();
        bSent = true;
    });
    size_t nLargest = 0;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (nReceived < kTotal && std::chrono::steady_clock::now() < deadline) {
        nLargest = std::max(nLargest, gateway.LargestQueue());
        std::this_thread::sleep_for(5ms);
    }
    writer.join();
    ASSERT_TRUE(WaitUntil([&] { return nReceived >= kTotal; }, 120000));
    EXPECT_EQ(nReceived.load(), kTotal);
    EXPECT_TRUE(bIntact);
    // At most one receive block beyond the pause threshold.
    EXPECT_LE(nLargest, CLineSocket::kHighWater + CLineSocket::kBufferSize);
    EXPECT_GT(nLargest, 0u);
    server.Stop();
}

// The other direction: the mail server writes fast, the client reads slowly at first.
TEST(Relay, SlowClientKeepsTheMailServersSideBoundedToo) {
    constexpr size_t kTotal = 64u << 20;
    const std::string strChunk = RandomStream(1 << 20, 11);
    CRawServer server;
    ASSERT_TRUE(server.Start([&](int fd) {
        for (size_t nSent = 0; nSent < kTotal; nSent += strChunk.size())
            if (!SendAllFd(fd, strChunk.data(), strChunk.size())) return;
        shutdown(fd, SHUT_WR);
    }));
    CGatewayHarness gateway;
    ASSERT_TRUE(gateway.Start(server.Port()));
    CRawClient client;
    ASSERT_TRUE(client.Connect(gateway.m_nPortIn));
    // Not reading at all: the kernel's buffers fill, then the gateway's queue up to the point
    // where it stops reading from the mail server, and no further.
    size_t nLargest = 0;
    auto sample = [&] {
        nLargest = std::max(nLargest, gateway.LargestQueue());
        return nLargest > CLineSocket::kHighWater;
    };
    EXPECT_TRUE(WaitUntil(sample, 60000));
    for (int nRound = 0; nRound < 20; ++nRound) sample();
    EXPECT_TRUE(client.ReadUntilClosed(120000));
    ASSERT_EQ(client.m_strReceived.size(), kTotal);
    for (size_t nOffset = 0; nOffset < kTotal; nOffset += strChunk.size())
        ASSERT_TRUE(client.m_strReceived.compare(nOffset, strChunk.size(), strChunk) == 0)
            << nOffset;
    EXPECT_LE(nLargest, CLineSocket::kHighWater + CLineSocket::kBufferSize);
    server.Stop();
}

// A close is passed on as a half-close: the mail server still gets every byte of a client that
// half-closed after sending, and the client every answer the server gives after that; the
// other way round, a client that keeps talking still gets all the server sent before it closed.
TEST(Relay, AHalfCloseLosesNothingInEitherDirection) {
    const std::string strUp = RandomStream(2 << 20, 21);
    std::string strServerGot;
    std::atomic<int> nAnswers{0};
    std::atomic<bool> bServerDone{false};
    CRawServer answering;  // "250 ok" for every read; ends after the client's end
    ASSERT_TRUE(answering.Start([&](int fd) {
        char buffer[65536];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0; ++nAnswers) {
            strServerGot.append(buffer, static_cast<size_t>(n));
            SendAllFd(fd, "250 ok\r\n", 8);
        }
        bServerDone = true;
        shutdown(fd, SHUT_RDWR);
    }));
    CGatewayHarness gateway;
    ASSERT_TRUE(gateway.Start(answering.Port()));
    CRawClient client;
    ASSERT_TRUE(client.Connect(gateway.m_nPortIn, "127.0.0.40"));
    std::thread writer([&] {
        SendInRandomBlocks(client.Fd(), strUp, 22);
        client.ShutdownWrite();
    });
    EXPECT_TRUE(client.ReadUntilClosed(60000));
    writer.join();
    ASSERT_TRUE(WaitUntil([&] { return bServerDone.load(); }));
    EXPECT_TRUE(strServerGot == strUp) << strServerGot.size();
    std::string strAnswers;
    for (int i = 0; i < nAnswers; ++i) strAnswers += "250 ok\r\n";
    EXPECT_EQ(client.m_strReceived, strAnswers);

    const std::string strDown = RandomStream(5 << 20, 23);
    CRawServer closing;  // sends, ends its side, and reads on until the client's end
    ASSERT_TRUE(closing.Start([&](int fd) {
        SendAllFd(fd, strDown.data(), strDown.size());
        shutdown(fd, SHUT_WR);
        char buffer[4096];
        while (recv(fd, buffer, sizeof buffer, 0) > 0) {
        }
    }));
    gateway.Stop();
    ASSERT_TRUE(gateway.Start(closing.Port()));
    CRawClient talker;
    ASSERT_TRUE(talker.Connect(gateway.m_nPortIn, "127.0.0.41"));
    std::atomic<bool> bDone{false};
    std::thread noops([&] {
        while (!bDone && talker.SendAll("NOOP\r\n")) std::this_thread::sleep_for(1ms);
    });
    EXPECT_TRUE(talker.ReadUntilClosed(60000));
    bDone = true;
    noops.join();
    EXPECT_TRUE(talker.m_strReceived == strDown) << talker.m_strReceived.size();
    answering.Stop();
    closing.Stop();
}

// A mail server that never reads: clients that fill the relay and vanish (a reset, as a client
// that gave up does once its close cannot get through) are noticed although reading from them
// is paused, and the drain bound frees their relays.
TEST(Relay, ClientsLeavingARelayThatCannotMoveAreFreedByTheDrainBound) {
    CRawServer stalled;
    ASSERT_TRUE(stalled.Start([](int) {}));
    CGatewayHarness gateway;
    ASSERT_TRUE(gateway.Start(stalled.Port()));
    const std::string strBlock(1 << 16, 'f');
    for (int i = 0; i < 3; ++i) {
        CRawClient client;
        const std::string strFrom = "127.0.0.4" + std::to_string(2 + i);
        ASSERT_TRUE(client.Connect(gateway.m_nPortIn, strFrom));
        fcntl(client.Fd(), F_SETFL, O_NONBLOCK);
        // Until the gateway has stopped reading from this very client (an earlier client's full
        // queue says nothing about it, not even that it was accepted) and the kernel's buffers
        // are full.
        ASSERT_TRUE(WaitUntil([&] {
            while (send(client.Fd(), strBlock.data(), strBlock.size(), MSG_NOSIGNAL) > 0) {
            }
            for (const CConnectionSnapshot& connection : gateway.Snapshot())
                if (connection.strAddress == strFrom &&
                    connection.nChannelQueued > CLineSocket::kHighWater)
                    return true;
            return false;
        }));
        const linger reset{1, 0};
        setsockopt(client.Fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    EXPECT_EQ(gateway.Connections().size(), 3u);
    EXPECT_TRUE(
        WaitUntil([&] { return gateway.Connections().empty(); }, 4 * CLineSocket::kDrainMs));
    stalled.Stop();
}

// A monitor that sends line after line keeps the listener busy, so that its loop never runs out
// of work, while clients in four threads come and go one after the other: what they leave is
// freed all the same, and the descriptors follow the live connections.
TEST(Relay, FinishedConnectionsAreFreedWhileTheListenerIsBusy) {
    CMailServer server;
    ASSERT_TRUE(server.StartSink());
    CGatewayHarness gateway;
    ASSERT_TRUE(gateway.Start(server.Port()));
    const int nBaseline = OpenDescriptors();
    CRawClient busy;
    ASSERT_TRUE(busy.Connect(gateway.m_nPortIn));
    ASSERT_TRUE(busy.SendAll("MONITOR\n"));
    std::atomic<bool> bStop{false};
    std::thread flood([&] {
        std::string strLines;
        while (strLines.size() < (1 << 16)) strLines += "ignored line\n";
        while (!bStop && busy.SendAll(strLines)) {
        }
    });
    std::atomic<int> nMost{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back([&] {
            for (int n = 0; n < 250; ++n) {
                CRawClient client;
                if (!client.Connect(gateway.m_nPortIn)) continue;
                client.SendAll("QUIT\r\n");
                client.ReadUntilClosed(10000);
                nMost = std::max(nMost.load(), OpenDescriptors() - nBaseline);
            }
        });
    }
    for (std::thread& thread : clients) thread.join();
    bStop = true;
    busy.ShutdownWrite();
    flood.join();
    EXPECT_LT(nMost, 100);
    EXPECT_TRUE(gateway.Reports().empty());
}

// The mail server may be named: its address is looked up when the listener starts; a name that
// gives no address fails each channel as an unreachable host would.
TEST(Relay, MailServerByNameAndByANameWithoutAddress) {
    CRawServer server;
    ASSERT_TRUE(server.Start([](int fd) { SendAllFd(fd, "220 named\r\n", 11); }));
    CGatewayHarness gateway;
    gateway.m_app.m_settings.MailServer = "localhost";
    ASSERT_TRUE(gateway.Start(server.Port()));
    CRawClient named;
    ASSERT_TRUE(named.Connect(gateway.m_nPortIn));
    EXPECT_TRUE(named.ReadUntilContains("220 named\r\n"));

    gateway.Stop();
    gateway.m_app.m_settings.MailServer = "";
    ASSERT_TRUE(gateway.Start(server.Port()));
    CRawClient nowhere;
    ASSERT_TRUE(nowhere.Connect(gateway.m_nPortIn));
    EXPECT_TRUE(nowhere.ReadUntilClosed());
    EXPECT_EQ(nowhere.m_strReceived, "");
    EXPECT_EQ(gateway.Reports(),
              std::vector<std::string>{"Could not connect to Mail Server Error 113\n"});
    server.Stop();
}

// Nothing is shared between two gateways of one process: each listens on its own port with its
// own settings, relays to its own mail server, and counts and logs its own clients.
TEST(Relay, TwoGatewaysInOneProcessEachRelayWithTheirOwnSettingsAndCounters) {
    CRawServer mailOne, mailTwo;
    ASSERT_TRUE(mailOne.Start([](int fd) {
        SendAllFd(fd, "220 one\r\n", 9);
        EchoUntilClosed(fd);
    }));
    ASSERT_TRUE(mailTwo.Start([](int fd) {
        SendAllFd(fd, "220 two\r\n", 9);
        EchoUntilClosed(fd);
    }));
    CGatewayHarness one, two;
    two.m_app.m_settings.AddExclusion("127.0.0.9", 1);  // one setting the other lacks
    ASSERT_TRUE(one.Start(mailOne.Port()));
    ASSERT_TRUE(two.Start(mailTwo.Port()));
    ASSERT_NE(one.m_nPortIn, two.m_nPortIn);
    const auto relay = [](CGatewayHarness& gateway, const char* pFrom, const std::string& strBye) {
        CRawClient client;
        EXPECT_TRUE(client.Connect(gateway.m_nPortIn, pFrom));
        EXPECT_TRUE(client.SendAll(strBye));
        EXPECT_TRUE(client.ReadUntilContains(strBye));
        return client.m_strReceived;
    };
    EXPECT_EQ(relay(one, "127.0.0.7", "via one\r\n"), "220 one\r\nvia one\r\n");
    EXPECT_EQ(relay(one, "127.0.0.8", "again\r\n"), "220 one\r\nagain\r\n");
    EXPECT_EQ(relay(two, "127.0.0.9", "via two\r\n"), "220 two\r\nvia two\r\n");
    EXPECT_EQ(one.m_app.m_gateway.m_counters.m_nConnections, 2);
    EXPECT_EQ(two.m_app.m_gateway.m_counters.m_nConnections, 1);
    EXPECT_TRUE(WaitUntil([&] { return Contains(two.ActivityLog(), "127.0.0.9 Accepted"); }));
    EXPECT_FALSE(Contains(one.ActivityLog(), "127.0.0.9"));
    EXPECT_FALSE(Contains(two.ActivityLog(), "127.0.0.7"));
    EXPECT_EQ(two.m_app.m_gateway.CurrentConfig()->settings.Exclusions->m_strAddress, "127.0.0.9");
    EXPECT_EQ(one.m_app.m_gateway.CurrentConfig()->settings.Exclusions, nullptr);
}
