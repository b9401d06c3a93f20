// Connections from trusted load balancers: the PROXY header parser on valid, split and hostile
// headers; the listener taking the header's source as the client's address (and dropping what
// is no header); and real HAProxy in front of two tarnwk processes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/ProxyHeader.h"
#include "tests/support/GatewayHarness.h"
#include "tests/support/MailServer.h"
#include "tests/support/RawPeer.h"
#include "tests/support/Rbldnsd.h"
#include "tests/support/TarnwkRun.h"

namespace {
const std::string kRejectLine =
    "550 - Tarnwick: Your Server is Blacklisted. Check mail server blacklists for removal "
    "information\n";
const std::string kV2Signature("\r\n\r\n\0\r\nQUIT\n", 12);

std::string Be16(size_t n) { return {static_cast<char>(n >> 8), static_cast<char>(n & 0xFF)}; }

// A version 2 header: command byte, family byte, then the block after the length.
std::string V2(int nCommand, int nFamily, const std::string& strBlock) {
    return kV2Signature + static_cast<char>(nCommand) + static_cast<char>(nFamily) +
           Be16(strBlock.size()) + strBlock;
}

// The IPv4 address block: source a.b.c.d, destination 10.0.0.1, ports 4000 and 25.
std::string Inet(unsigned a, unsigned b, unsigned c, unsigned d) {
    return std::string{static_cast<char>(a),
                       static_cast<char>(b),
                       static_cast<char>(c),
                       static_cast<char>(d),
                       10,
                       0,
                       0,
                       1} +
           Be16(4000) + Be16(25);
}

// The IPv6 address block: source 2001:db8::<nLast>, destination ::1, ports 4000 and 25.
std::string Inet6(unsigned nLast) {
    const std::string strSource =
        std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + static_cast<char>(nLast);
    return strSource + std::string(15, '\0') + '\x01' + Be16(4000) + Be16(25);
}

CProxyHeader Parse(const std::string& strBytes) {
    return ParseProxyHeader(reinterpret_cast<const std::uint8_t*>(strBytes.data()),
                            strBytes.size());
}
}  // namespace

// Every header, then every prefix of it: a prefix needs more, and at least one byte more,
// the whole is judged, and what follows the header is not part of it.
TEST(ProxyHeader, ValidSplitAndHostileHeaders) {
    const std::string strTlv = std::string{0x04, 0x00, 0x02} + "ab";  // type, length 2, value
    const std::string strV1Max = "PROXY UNKNOWN " + std::string(91, 'x') + "\r\n";
    const std::string strV1Over = "PROXY UNKNOWN " + std::string(92, 'x') + "\r\n";
    struct CCase {
        std::string strHeader;
        EProxyParse eParse;
        EProxySource eSource;
        std::string strSource;  // dotted IPv4 or IPv6 text
    } cases[] = {
        {"PROXY TCP4 192.0.2.7 10.0.0.1 4000 25\r\n", EProxyParse::Complete, EProxySource::IPv4,
         "192.0.2.7"},
        {"PROXY TCP6 2001:db8::7 ::1 65535 0\r\n", EProxyParse::Complete, EProxySource::IPv6,
         "2001:db8::7"},
        // Written as it may be, read as RFC 5952 writes it; the mapped form is IPv4.
        {"PROXY TCP6 2001:DB8:0:0::07 ::1 1 2\r\n", EProxyParse::Complete, EProxySource::IPv6,
         "2001:db8::7"},
        {"PROXY TCP6 ::ffff:192.0.2.8 ::1 1 2\r\n", EProxyParse::Complete, EProxySource::IPv6,
         "192.0.2.8"},
        {"PROXY UNKNOWN\r\n", EProxyParse::Complete, EProxySource::Connection, ""},
        {strV1Max, EProxyParse::Complete, EProxySource::Connection, ""},
        {V2(0x21, 0x11, Inet(192, 0, 2, 9)), EProxyParse::Complete, EProxySource::IPv4,
         "192.0.2.9"},
        {V2(0x21, 0x12, Inet(192, 0, 2, 9) + strTlv), EProxyParse::Complete, EProxySource::IPv4,
         "192.0.2.9"},
        {V2(0x21, 0x21, std::string(15, '\0') + '\x01' + std::string(20, '\0')),
         EProxyParse::Complete, EProxySource::IPv6, "::1"},
        {V2(0x20, 0x00, ""), EProxyParse::Complete, EProxySource::Connection, ""},  // LOCAL
        {V2(0x20, 0x11, Inet(1, 2, 3, 4)), EProxyParse::Complete, EProxySource::Connection, ""},
        {V2(0x21, 0x00, strTlv), EProxyParse::Complete, EProxySource::Connection, ""},
        // Hostile: wrong starts, bad v1 lines, v1 too long, bad v2 fields and lengths.
        {"EHLO client.example\r\n", EProxyParse::Invalid, {}, ""},
        {"proxy TCP4 1.2.3.4 5.6.7.8 1 2\r\n", EProxyParse::Invalid, {}, ""},
        {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n", EProxyParse::Invalid, {}, ""},
        {"PROXY TCP4 1.2.3.4  5.6.7.8 1 2\r\n", EProxyParse::Invalid, {}, ""},
        {"PROXY TCP4 1.2.3.4 5.6.7.8 01 2\r\n", EProxyParse::Invalid, {}, ""},
        {"PROXY TCP4 1.2.3.4 5.6.7.8 1 65536\r\n", EProxyParse::Invalid, {}, ""},
        {"PROXY TCP4 1.2.3.400 5.6.7.8 1 2\r\n", EProxyParse::Invalid, {}, ""},
        {"PROXY TCP4 ::1 ::1 1 2\r\n", EProxyParse::Invalid, {}, ""},
        {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2 3\r\n", EProxyParse::Invalid, {}, ""},
        {std::string("PROXY TCP4 1.2.3.4\0 5.6.7.8 1 2\r\n", 33), EProxyParse::Invalid, {}, ""},
        {strV1Over, EProxyParse::Invalid, {}, ""},
        {V2(0x11, 0x11, Inet(1, 2, 3, 4)), EProxyParse::Invalid, {}, ""},  // version 1
        {V2(0x22, 0x11, Inet(1, 2, 3, 4)), EProxyParse::Invalid, {}, ""},  // command 2
        {V2(0x21, 0x41, Inet(1, 2, 3, 4)), EProxyParse::Invalid, {}, ""},  // family 4
        {V2(0x21, 0x13, Inet(1, 2, 3, 4)), EProxyParse::Invalid, {}, ""},  // transport 3
        {V2(0x21, 0x11, Inet(1, 2, 3, 4).substr(0, 11)), EProxyParse::Invalid, {}, ""},
        {V2(0x21, 0x21, Inet(1, 2, 3, 4)), EProxyParse::Invalid, {}, ""},  // too short for v6
        {V2(0x21, 0x11, Inet(1, 2, 3, 4) + "\x04\x00"), EProxyParse::Invalid, {}, ""},
        {V2(0x21, 0x11, Inet(1, 2, 3, 4) + "\x04\x00\x03" + "ab"), EProxyParse::Invalid, {}, ""},
        {V2(0x21, 0x11, Inet(1, 2, 3, 4) + "\x04\x00\x01" + "ab"), EProxyParse::Invalid, {}, ""},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.strHeader));
        const CProxyHeader whole = Parse(c.strHeader + "EHLO me\r\n");
        ASSERT_EQ(whole.eParse, c.eParse);
        if (c.eParse != EProxyParse::Complete) continue;
        EXPECT_EQ(whole.nLength, c.strHeader.size());
        EXPECT_EQ(whole.eSource, c.eSource);
        if (c.eSource != EProxySource::Connection) {
            EXPECT_EQ(whole.source.ToText(), c.strSource);
        }
        if (c.eSource == EProxySource::IPv4) {
            EXPECT_EQ(whole.nPort, 4000);
            EXPECT_EQ(whole.destination.ToText() + ":" + std::to_string(whole.nDestinationPort),
                      "10.0.0.1:25");
        }
        for (size_t n = 0; n < c.strHeader.size(); ++n) {
            const CProxyHeader part = Parse(c.strHeader.substr(0, n));
            ASSERT_EQ(part.eParse, EProxyParse::NeedMore) << n;
            EXPECT_GT(part.nMaxLength, n);
            // Reading up to the bound never takes a client's bytes after a binary header.
            if (n > 0 && c.strHeader[0] == '\r') {
                EXPECT_LE(part.nMaxLength, c.strHeader.size());
            }
        }
    }
    // A v2 header as long as its length field allows is still read whole.
    const std::string strLongest = V2(0x20, 0x00, std::string(65535, 'T'));
    EXPECT_EQ(Parse(strLongest).nLength, kProxyV2MaxBytes);
}

namespace {
// The gateway trusting 127.0.0.40 and ::1 as balancers, screening concurrently against one zone
// that lists 127.0.0.5 and 2001:db8::6, relaying to a mail server that greets and keeps what each
// connection sent. It listens on IPv6 too.
class ProxyFrom : public ::testing::Test {
protected:
    void SetUp() override {
        m_dnsbl.AddZone("bl.test", {"127.0.0.5", "2001:db8::6"});
        ASSERT_TRUE(m_dnsbl.Start()) << m_dnsbl.Output();
        setenv("TARNWICK_NAMESERVERS", m_dnsbl.Nameserver().c_str(), 1);
        ASSERT_TRUE(m_server.Start([this](int fd) { Serve(fd); }));
        Settings& settings = m_gateway.m_app.m_settings;
        settings.AddDnsblServer("bl.test", 1);
        settings.ConcurrentScreening = 1;
        EXPECT_TRUE(settings.SetProxyFrom(" 127.0.0.40 ,, 10.0.0.1, ::1").empty());
        settings.ListenV6 = 1;
        ASSERT_TRUE(m_gateway.Start(m_server.Port()));
    }
    void TearDown() override { unsetenv("TARNWICK_NAMESERVERS"); }

    void Serve(int fd) {
        SendAllFd(fd, "220 relayed\r\n", 13);
        char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_strReceived.append(buffer, static_cast<size_t>(n));
        }
    }
    std::string Received() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_strReceived;
    }

    std::mutex m_lock;
    std::string m_strReceived;
    CRbldnsd m_dnsbl;
    CRawServer m_server;
    CGatewayHarness m_gateway;
};
}  // namespace

// The header's source is the client everywhere, IPv4 or IPv6 (the mapped form is IPv4), from a
// balancer of either family; its bytes never reach the mail server, the bytes after it do; LOCAL
// relays under the balancer's own name; other addresses are not trusted, so their header is
// relayed as ordinary bytes.
TEST_F(ProxyFrom, TheHeadersSourceIsTheClientAndOnlyTheClientsBytesAreRelayed) {
    struct CCase {
        std::string strFrom, strHeader, strReply, strLogged;
    } cases[] = {
        {"127.0.0.40", "PROXY TCP4 127.0.0.5 127.0.0.1 4000 25\r\n", kRejectLine,
         "Connection from 127.0.0.5 Rejected (Blacklist Listings: 1)"},
        {"127.0.0.40", V2(0x21, 0x11, Inet(127, 0, 0, 7)), "220 relayed\r\n",
         "Connection from 127.0.0.7 Accepted"},
        {"127.0.0.40", V2(0x20, 0x00, ""), "220 relayed\r\n",
         "Connection from 127.0.0.40 Accepted"},
        {"127.0.0.40", "PROXY TCP6 2001:db8::5 ::1 4000 25\r\n", "220 relayed\r\n",
         "Connection from 2001:db8::5 Accepted"},
        {"127.0.0.40", V2(0x21, 0x21, Inet6(6)), kRejectLine,
         "Connection from 2001:db8::6 Rejected (Blacklist Listings: 1)"},
        {"::1", V2(0x21, 0x21, Inet6(8)), "220 relayed\r\n",
         "Connection from 2001:db8::8 Accepted"},
        {"::1", "PROXY TCP6 ::ffff:127.0.0.5 ::1 4000 25\r\n", kRejectLine,
         "Connection from 127.0.0.5 Rejected (Blacklist Listings: 1)"},
        {"127.0.0.41", "PROXY TCP4 127.0.0.8 127.0.0.1 4000 25\r\n", "220 relayed\r\n",
         "Connection from 127.0.0.41 Accepted"},
    };
    int nCase = 0;
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.strLogged);
        const std::string strFirst = "EHLO case" + std::to_string(++nCase) + "\r\n";
        CRawClient client;
        ASSERT_TRUE(client.Connect(m_gateway.m_nPortIn, c.strFrom));
        // The header in two pieces, the second one with the client's first line.
        ASSERT_TRUE(client.SendAll(c.strHeader.substr(0, 9)));
        client.ReadFor(50);
        ASSERT_TRUE(client.SendAll(c.strHeader.substr(9) + strFirst));
        EXPECT_TRUE(client.ReadUntilContains(c.strReply));
        EXPECT_TRUE(WaitUntil([&] { return Contains(m_gateway.ActivityLog(), c.strLogged); }))
            << m_gateway.ActivityLog();
        if (c.strReply == kRejectLine) continue;
        const bool bTrusted = c.strFrom == "127.0.0.40" || c.strFrom == "::1";
        const std::string strRelayed = bTrusted ? "" : c.strHeader;
        EXPECT_TRUE(WaitUntil([&] { return Contains(Received(), strRelayed + strFirst); }))
            << Received();
    }
    EXPECT_FALSE(Contains(Received(), "PROXY TCP6"));
    EXPECT_EQ(m_gateway.m_app.m_gateway.m_counters.m_nRejected, 3);
}

// A trusted connection without a valid header (malformed, cut short, or none within the bound)
// is closed without a word, logged under the balancer's address, and counted in CON only.
TEST_F(ProxyFrom, ConnectionsWithoutAValidHeaderAreDroppedSilently) {
    const std::string strDropped = "Connection from 127.0.0.40 Dropped (Invalid PROXY Header)";
    const std::vector<std::string> sends{"GET / HTTP/1.0\r\n\r\n", kV2Signature + "\x21\x11",
                                         "PROXY TCP4 " + std::string(200, '1'), ""};
    for (size_t i = 0; i < sends.size(); ++i) {
        CRawClient client;
        ASSERT_TRUE(client.Connect(m_gateway.m_nPortIn, "127.0.0.40"));
        ASSERT_TRUE(client.SendAll(sends[i]));
        if (i == 1) client.ShutdownWrite();  // cut short by the balancer
        EXPECT_TRUE(client.ReadUntilClosed()) << i;
        EXPECT_EQ(client.m_strReceived, "") << i;
    }
    const std::string strLog = m_gateway.ActivityLog();
    size_t nDropped = 0;
    for (size_t n = 0; (n = strLog.find(strDropped, n)) != std::string::npos; ++n) ++nDropped;
    EXPECT_EQ(nDropped, sends.size()) << strLog;
    EXPECT_EQ(m_gateway.m_app.m_gateway.m_counters.m_nConnections, static_cast<int>(sends.size()));
    EXPECT_EQ(m_gateway.m_app.m_gateway.m_counters.m_nRejected, 0);
    EXPECT_EQ(Received(), "");
}

// ProxyTo: the mail server (aiosmtpd taking a PROXY header) sees each client as it connected,
// IPv4 or IPv6, through either header version, over a channel of either family, and takes the
// message byte for byte.
TEST(ProxyTo, TheMailServerSeesTheRealClientAndTheMessageWhole) {
    CMailServer mail;
    ASSERT_TRUE(mail.StartProxyAiosmtpd()) << mail.Output();
    CGatewayHarness gateway;
    gateway.m_app.m_settings.ListenV6 = 1;
    ASSERT_TRUE(gateway.Start(mail.Port()));
    const std::string strBody =
        "Subject: through the gateway\r\n\r\n\xc3\xa9t\xc3\xa9 8bit \xff\r\n\ttab  and blanks "
        "\r\nlast line\r\n";
    const struct {
        int nVersion;
        const char* pClient;
        const char* pMailServer;
        const char* pGateway;  // the address the client connected to
    } cases[] = {{1, "127.0.0.7", "127.0.0.1", "127.0.0.1"},
                 {2, "::1", "::1", "::1"},
                 {2, "127.0.0.8", "::1", "127.0.0.1"},
                 {1, "::1", "127.0.0.1", "::1"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.nVersion) + " " + c.pClient + " to " + c.pMailServer);
        gateway.m_app.m_settings.ProxyTo = c.nVersion;
        gateway.m_app.m_settings.MailServer = c.pMailServer;
        gateway.Publish();
        const size_t nBefore = mail.ProxyMessages().size();
        CRawClient client;
        ASSERT_TRUE(client.Connect(gateway.m_nPortIn, c.pClient));
        for (const auto& [strSend, strReply] : std::vector<std::pair<std::string, std::string>>{
                 {"", "220 "},
                 {"HELO client.example\r\n", "250 "},
                 {"MAIL FROM:<a@example.org>\r\n", "250 "},
                 {"RCPT TO:<b@example.org>\r\n", "250 "},
                 {"DATA\r\n", "354 "},
                 {strBody + ".\r\n", "250 "},
                 {"QUIT\r\n", "221 "}}) {
            client.m_strReceived.clear();
            ASSERT_TRUE(client.SendAll(strSend));
            ASSERT_TRUE(client.ReadUntil([&](const std::string& strIn) {
                return strIn.size() > 4 && strIn.back() == '\n';
            })) << strSend;
            EXPECT_EQ(client.m_strReceived.substr(0, 4), strReply) << client.m_strReceived;
        }
        std::string strHex;
        for (const unsigned char cByte : strBody) {
            char szByte[3];
            snprintf(szByte, sizeof szByte, "%02x", cByte);
            strHex += szByte;
        }
        const std::vector<std::string> messages = mail.ProxyMessages();
        ASSERT_EQ(messages.size(), nBefore + 1) << mail.Output();
        EXPECT_EQ(messages.back(), std::to_string(c.nVersion) + " " + c.pClient + " " +
                                       std::to_string(client.LocalPort()) + " " + c.pGateway + " " +
                                       std::to_string(gateway.m_nPortIn) + " " + c.pMailServer +
                                       " " + strHex);
    }
    EXPECT_TRUE(gateway.Reports().empty());
}

// HAProxy in front of two gateways, one spoken to in each header version: a listed client (as
// the header names it) is rejected and an unlisted one relayed, by both.
TEST(ProxyFromHaproxy, ListedRejectedAndUnlistedRelayedThroughBothGateways) {
    CRbldnsd dnsbl;
    dnsbl.AddZone("bl.test", {"127.0.0.2"});
    ASSERT_TRUE(dnsbl.Start()) << dnsbl.Output();
    CRawServer mail;
    ASSERT_TRUE(mail.Start([](int fd) { SendAllFd(fd, "220 relayed\r\n", 13); }));
    CTarnwkFolder folders[2];
    CChildProcess gateways[2];
    int ports[2];
    for (int i = 0; i < 2; ++i) {
        ports[i] = FreeTcpPort();
        folders[i].WriteHive(
            "\"EnableLogging\"=\"1\"\n\"MailServer\"=\"127.0.0.1\"\n"
            "\"PortIn\"=\"" +
            std::to_string(ports[i]) + "\"\n\"PortOut\"=\"" + std::to_string(mail.Port()) +
            "\"\n\"ProxyFrom\"=\"127.0.0.1\"\n\"ConcurrentScreening\"=\"" + std::to_string(i) +
            "\"\n\"DNSBL_0\"=\"+bl.test\"\n\"DNSBL_Servers\"=\"1\"\n");
        ASSERT_TRUE(folders[i].Start(gateways[i], "tarnwk", {}, "",
                                     {"TARNWICK_NAMESERVERS=" + dnsbl.Nameserver()}));
        ASSERT_TRUE(WaitForTcpListener(ports[i], CTarnwkFolder::kDeadlineMs))
            << folders[i].Err("tarnwk");
    }
    CTempDir dir;
    const int nFront = FreeTcpPort();
    WriteFileBytes(
        dir.File("haproxy.cfg"),
        "global\n  nbthread 1\ndefaults\n  mode tcp\n  timeout connect 5s\n  timeout client 30s\n"
        "  timeout server 30s\nfrontend smtp\n  bind 127.0.0.1:" +
            std::to_string(nFront) +
            "\n  default_backend gateways\nbackend gateways\n  balance roundrobin\n"
            "  server gw1 127.0.0.1:" +
            std::to_string(ports[0]) +
            " send-proxy-v2\n  server gw2 127.0.0.1:" + std::to_string(ports[1]) + " send-proxy\n");
    CChildProcess haproxy;
    ASSERT_TRUE(haproxy.Start({"haproxy", "-db", "-f", dir.File("haproxy.cfg")}, "", {},
                              dir.File("haproxy.out")));
    ASSERT_TRUE(WaitForTcpListener(nFront, CTarnwkFolder::kDeadlineMs))
        << ReadFileBytes(dir.File("haproxy.out"));

    // Round robin: of four clients, two listed and two not, each gateway gets one of each (the
    // readiness probe's own connection only moves where the round starts). Blocks go on until
    // both gateways have seen both, so that an uneven turn cannot fail the test.
    const auto bothSeenBoth = [&] {
        for (CTarnwkFolder& folder : folders) {
            const std::string strLog = folder.Log();
            if (!Contains(strLog, "Connection from 127.0.0.2 Rejected (Blacklist Listings: 1)") ||
                !Contains(strLog, "Connection from 127.0.0.3 Accepted"))
                return false;
        }
        return true;
    };
    for (int nBlock = 0; nBlock < 6 && !WaitUntil(bothSeenBoth, nBlock == 0 ? 0 : 2000); ++nBlock) {
        for (const char* pFrom : {"127.0.0.2", "127.0.0.2", "127.0.0.3", "127.0.0.3"}) {
            CRawClient client;
            ASSERT_TRUE(client.Connect(nFront, pFrom));
            const std::string strReply = pFrom[8] == '2' ? kRejectLine : "220 relayed\r\n";
            EXPECT_TRUE(client.ReadUntilContains(strReply)) << pFrom << client.m_strReceived;
        }
    }
    EXPECT_TRUE(WaitUntil(bothSeenBoth)) << folders[0].Log() << folders[1].Log();
}

// While 1,000 clients await a verdict (here, balancers' connections that send nothing), the
// next client waits in the backlog: it is accepted only after one of them has been decided.
TEST_F(ProxyFrom, AcceptingPausesWhileAThousandClientsAwaitTheirVerdict) {
    // Both ends of each waiting client are in this process.
    if (const std::string strWhy = RaiseDescriptorLimit(2200); !strWhy.empty())
        GTEST_SKIP() << strWhy;
    std::vector<CRawClient> waiting(1000);
    for (CRawClient& client : waiting)
        ASSERT_TRUE(client.Connect(m_gateway.m_nPortIn, "127.0.0.40"));
    ASSERT_TRUE(
        WaitUntil([&] { return m_gateway.m_app.m_gateway.m_counters.m_nConnections == 1000; }));
    CRawClient next;
    ASSERT_TRUE(next.Connect(m_gateway.m_nPortIn, "127.0.0.41"));
    EXPECT_TRUE(next.ReadUntilContains("220 relayed\r\n"));
    const std::string strLog = m_gateway.ActivityLog();
    const size_t nDropped = strLog.find("Dropped (Invalid PROXY Header)");
    ASSERT_NE(nDropped, std::string::npos) << strLog.substr(0, 2000);
    EXPECT_LT(nDropped, strLog.find("Connection from 127.0.0.41 Accepted"));
}

// MonitorFrom holds the header's source, not the balancer's address: only a listed source
// becomes a monitor, and an IPv6 source is in no list.
TEST_F(ProxyFrom, MonitorFromIsCheckedAgainstTheHeadersSource) {
    m_gateway.m_app.m_settings.SetMonitorFrom("127.0.0.9, 127.0.0.40");
    m_gateway.Publish();
    const struct {
        std::string strHeader, strShown;
    } cases[] = {{"PROXY TCP4 127.0.0.9 127.0.0.1 4000 25\r\n", "127.0.0.9 Monitor"},
                 {"PROXY TCP4 127.0.0.10 127.0.0.1 4000 25\r\n", "127.0.0.10 SMTP"},
                 {"PROXY TCP6 2001:db8::9 ::1 4000 25\r\n", "2001:db8::9 SMTP"}};
    std::vector<std::unique_ptr<CRawClient>> clients;
    for (const auto& c : cases) {
        clients.push_back(std::make_unique<CRawClient>());
        ASSERT_TRUE(clients.back()->Connect(m_gateway.m_nPortIn, "127.0.0.40"));
        ASSERT_TRUE(clients.back()->SendAll(c.strHeader + "MONITOR\n"));
        EXPECT_TRUE(WaitUntil([&] {
            const std::vector<std::string> shown = m_gateway.Connections();
            return std::find(shown.begin(), shown.end(), c.strShown) != shown.end();
        })) << c.strShown;
    }
}

// The defences count and judge a balancer's client by the source its header gives: two clients
// behind one balancer each have their own count, the balancer's own LOCAL connections are never
// limited, and bytes a client sent after the header, before any greeting, are talking first.
TEST_F(ProxyFrom, DefencesTakeTheHeadersSourceAsTheClient) {
    Settings& settings = m_gateway.m_app.m_settings;
    settings.ClientConnectionLimit = 1;
    m_gateway.Publish();
    const auto header = [](int nLast) {
        return "PROXY TCP4 127.0.0." + std::to_string(nLast) + " 127.0.0.1 4000 25\r\n";
    };
    const struct {
        std::string strHeader, strReply;
    } held[] = {{header(7), "220 relayed\r\n"},
                {header(8), "220 relayed\r\n"},
                {V2(0x20, 0x00, ""), "220 relayed\r\n"},
                {V2(0x20, 0x00, ""), "220 relayed\r\n"},
                {header(7), "421 - Tarnwick: Too Many Connections. Try Again Later\n"}};
    std::vector<std::unique_ptr<CRawClient>> clients;
    for (const auto& c : held) {
        clients.push_back(std::make_unique<CRawClient>());
        ASSERT_TRUE(clients.back()->Connect(m_gateway.m_nPortIn, "127.0.0.40"));
        ASSERT_TRUE(clients.back()->SendAll(c.strHeader));
        EXPECT_TRUE(clients.back()->ReadUntilContains(c.strReply)) << c.strHeader;
    }
    settings.ClientConnectionLimit = 0;
    settings.GreetWait = 30;
    m_gateway.Publish();
    CRawClient eager;
    ASSERT_TRUE(eager.Connect(m_gateway.m_nPortIn, "127.0.0.40"));
    ASSERT_TRUE(eager.SendAll(header(9) + "EHLO eager.example\r\n"));
    EXPECT_TRUE(eager.ReadUntilClosed());
    EXPECT_EQ(eager.m_strReceived,
              "550 - Tarnwick: Protocol Error. Your Server Talked Before the Greeting\n");
    const std::string strLog = m_gateway.ActivityLog();
    EXPECT_TRUE(Contains(strLog, "Connection from 127.0.0.7 Deferred (Too Many Connections)"));
    EXPECT_TRUE(Contains(strLog, "Connection from 127.0.0.9 Rejected (Talked First)")) << strLog;
    EXPECT_FALSE(Contains(Received(), "EHLO eager"));
}
