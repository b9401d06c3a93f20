// The metrics endpoint: requests judged, the page's text, and, with the gateway in this process
// (rbldnsd as its DNSBL server, an echo server as the mail server), the figures scraped with
// curl and hostile clients beside a relay that must not notice them.
#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "gateway/MetricsServer.h"
#include "gateway/MetricsText.h"
#include "tests/support/GatewayHarness.h"
#include "tests/support/Process.h"
#include "tests/support/RawPeer.h"
#include "tests/support/Rbldnsd.h"
#include "tests/support/TempDir.h"

namespace {
using namespace std::chrono_literals;

struct CMetricsFixture : ::testing::Test {
    CRbldnsd dnsbl;
    CRawServer mail;
    CGatewayHarness gateway;
    int nMetricsPort = FreeTcpPort();

    void SetUp() override {
        dnsbl.AddZone("bl.test", {"127.0.0.2"});
        dnsbl.AddZone("two.test", {"127.0.0.2", "127.0.0.4"});
        ASSERT_TRUE(dnsbl.Start()) << dnsbl.Output();
        setenv("TARNWICK_NAMESERVERS", dnsbl.Nameserver().c_str(), 1);
        ASSERT_TRUE(mail.Start(EchoUntilClosed));
        for (const char* pszZone : {"two.test", "bl.test"})
            gateway.m_app.m_settings.AddDnsblServer(pszZone, 1);
        gateway.m_app.m_settings.MetricsPort = nMetricsPort;
    }
    void TearDown() override { unsetenv("TARNWICK_NAMESERVERS"); }

    std::string Curl(const std::string& strPath) {
        CChildProcess curl;
        const std::string strOut = gateway.m_dir.File("curl.txt");
        std::remove(strOut.c_str());  // the child's output is appended
        const std::string strUrl = "http://127.0.0.1:" + std::to_string(nMetricsPort) + strPath;
        if (!curl.Start({"curl", "-sSi", "--max-time", "20", strUrl}, "", {}, strOut)) return "";
        return curl.Wait(30000) == 0 ? ReadFileBytes(strOut) : "";
    }
};
}  // namespace

TEST(MetricsRequest, OnlyAWellFormedGetOfTheMetricsPathIsServed) {
    using R = MetricsRequest;
    const std::string strLong(CMetricsServer::kMaxRequestBytes, 'a');
    const std::vector<std::pair<std::string, R>> cases{
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", R::Metrics},
        {"GET /metrics?name=x HTTP/1.0\n\n", R::Metrics},
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n", R::Incomplete},
        {"GET / HTTP/1.1\r\n\r\n", R::NotFound},
        {"HEAD /metrics HTTP/1.1\r\n", R::BadRequest},  // judged without waiting for headers
        {"GET /metrics HTTP/2.0\r\n", R::BadRequest},
        {"GET  /metrics HTTP/1.1\r\n", R::BadRequest},
        {"GET /met\x7frics HTTP/1.1\r\n", R::BadRequest},
        {"GET /metrics HTTP/1.1\r\nno colon\r\n\r\n", R::BadRequest},
        {"GET /metrics HTTP/1.1\r\nX: a\x01z\r\n", R::BadRequest},
        {"GET /metrics HTTP/1.1\r\nX: " + strLong, R::BadRequest},
    };
    for (const auto& [strRequest, verdict] : cases)
        EXPECT_EQ(JudgeMetricsRequest(strRequest), verdict) << strRequest;
}

TEST(MetricsText, ZoneLabelsAreEscapedAndTheHistogramIsCumulative) {
    CScreeningMetrics metrics;
    metrics.CountListing("odd\"zone\\\n");
    for (auto elapsed : {500us, 30000us, 7000000us}) metrics.CountScreening(elapsed);
    const std::string strPage = RenderMetrics({7, 3, 0, 2, metrics.Snapshot(), false, {}});
    for (const char* pszLine :
         {"{zone=\"odd\\\"zone\\\\\\n\"} 1\n", "{le=\"0.001\"} 1\n", "{le=\"0.025\"} 1\n",
          "{le=\"0.05\"} 2\n", "{le=\"5\"} 2\n", "{le=\"+Inf\"} 3\n",
          "_sum 7.0305\ntarnwick_screening_seconds_count 3\n"})
        EXPECT_TRUE(Contains(strPage, pszLine)) << pszLine << "\n" << strPage;
    EXPECT_FALSE(Contains(strPage, "tarnwick_zone_up")) << "checks off: no zone health";

    // Refusals and answers from the cache are counted; with checks on, each zone's health shows:
    // up or not (an unchecked zone is not down), and its state of the three.
    metrics.CountQuery(CScreeningMetrics::kRefused);
    for (int i = 0; i < 2; ++i) metrics.CountCacheHit();
    CGatewayFigures figures{7, 3, 0, 2, metrics.Snapshot(), false, {}};
    figures.bZoneChecks = true;
    figures.zoneHealths = {{"up.example", EZoneHealth::Up},
                           {"down.example", EZoneHealth::Suspended},
                           {"new.example", EZoneHealth::Unchecked}};
    const std::string strChecked = RenderMetrics(figures);
    for (const char* pszLine :
         {"\ntarnwick_dns_queries_total{outcome=\"refused\"} 1\n",
          "\ntarnwick_dns_cache_hits_total 2\n", "\n# TYPE tarnwick_zone_up gauge\n",
          "\ntarnwick_zone_up{zone=\"up.example\"} 1\ntarnwick_zone_up{zone=\"down.example\"} 0\n"
          "tarnwick_zone_up{zone=\"new.example\"} 1\n",
          "\n# TYPE tarnwick_zone_state gauge\n",
          "\ntarnwick_zone_state{zone=\"down.example\",state=\"up\"} 0\n"
          "tarnwick_zone_state{zone=\"down.example\",state=\"suspended\"} 1\n"
          "tarnwick_zone_state{zone=\"down.example\",state=\"unchecked\"} 0\n",
          "\ntarnwick_zone_state{zone=\"new.example\",state=\"unchecked\"} 1\n"})
        EXPECT_TRUE(Contains(strChecked, pszLine)) << pszLine << "\n" << strChecked;
    EXPECT_FALSE(Contains(strChecked, "tarnwick_client_defences_total")) << "no defence on";

    // The clients the defences turned away, by outcome, shown while one is on or has counted.
    figures.bClientDefences = true;
    const std::string strOn = RenderMetrics(figures);
    metrics.CountClient(CScreeningMetrics::kLimited);
    for (int i = 0; i < 2; ++i) metrics.CountClient(CScreeningMetrics::kDeferred);
    figures.bClientDefences = false;
    figures.screening = metrics.Snapshot();
    const std::string strCounted = RenderMetrics(figures);
    const std::string strFamily = "\n# TYPE tarnwick_client_defences_total counter\n";
    EXPECT_TRUE(
        Contains(strOn, strFamily + "tarnwick_client_defences_total{outcome=\"talked_first\"} 0\n"))
        << strOn;
    EXPECT_TRUE(Contains(strCounted,
                         strFamily + "tarnwick_client_defences_total{outcome=\"talked_first\"} 0\n"
                                     "tarnwick_client_defences_total{outcome=\"limited\"} 1\n"
                                     "tarnwick_client_defences_total{outcome=\"deferred\"} 2\n"))
        << strCounted;
}

// A zone's text may hold any byte, and a label that is not UTF-8 makes Prometheus refuse the
// whole page. Every label comes out UTF-8 without a control character, and distinct texts stay
// distinct labels; promtool, where installed, parses the page.
TEST(MetricsText, EveryZoneTextGivesAUtf8LabelOfItsOwn) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"caf\xe9.test", "caf%E9.test"},           // a Latin-1 byte
        {"caf%E9.test", "caf%25E9.test"},          // the writing of the one above, kept apart
        {"caf\xc3\xa9.test", "caf\xc3\xa9.test"},  // UTF-8 as it is
        {"\xf0\x9f\x98\x80\xe2\x82", "\xf0\x9f\x98\x80%E2%82"},  // a character cut short at the end
        // an overlong form, a surrogate and a code point above U+10FFFF
        {"\xc0\xae\xed\xa0\x80\xf4\x90\x80\x80", "%C0%AE%ED%A0%80%F4%90%80%80"},
        {"a\x01\tb\x7f\xc2\x85", "a%01%09b%7F%C2%85"},  // C0, DEL and C1 controls
        {"q\"\\\n", "q\\\"\\\\\\n"},                    // the format's own escapes
    };
    CScreeningMetrics metrics;
    CGatewayFigures figures{1, 1, 1, 0, {}, true, {}};
    for (const auto& [strZone, strLabel] : cases) {
        EXPECT_EQ(EscapeLabelValue(strZone), strLabel);
        metrics.CountListing(strZone);
        figures.zoneHealths.emplace_back(strZone, EZoneHealth::Up);
    }
    figures.screening = metrics.Snapshot();
    const std::string strPage = RenderMetrics(figures);
    for (const auto& [strZone, strLabel] : cases)
        EXPECT_TRUE(Contains(strPage, "\ntarnwick_zone_up{zone=\"" + strLabel + "\"} 1\n"))
            << strLabel;
    if (PeerPath("promtool").empty()) GTEST_SKIP() << "promtool is not installed";
    CTempDir dir;
    WriteFileBytes(dir.File("page.txt"), strPage);
    CChildProcess promtool;
    ASSERT_TRUE(promtool.Start({"sh", "-c", "promtool check metrics < page.txt"}, dir.Path(), {},
                               dir.File("promtool.txt")));
    EXPECT_EQ(promtool.Wait(30000), 0) << ReadFileBytes(dir.File("promtool.txt")) << strPage;
}

// Two listed clients and one relayed, screened blocking or concurrently: the same figures.
struct CScrapeFixture : CMetricsFixture, ::testing::WithParamInterface<int> {};
INSTANTIATE_TEST_SUITE_P(Screening, CScrapeFixture, ::testing::Values(0, 1));

TEST_P(CScrapeFixture, ScrapedFiguresMatchWhatTheGatewayDid) {
    gateway.m_app.m_settings.ConcurrentScreening = GetParam();
    ASSERT_TRUE(gateway.Start(mail.Port()));
    for (const char* pszFrom : {"127.0.0.2", "127.0.0.4"}) {
        CRawClient listed;
        ASSERT_TRUE(listed.Connect(gateway.m_nPortIn, pszFrom));
        EXPECT_TRUE(listed.ReadUntilClosed());
    }
    CRawClient relayed;
    ASSERT_TRUE(relayed.Connect(gateway.m_nPortIn, "127.0.0.3"));
    ASSERT_TRUE(relayed.SendAll("EHLO x\r\n"));
    ASSERT_TRUE(relayed.ReadUntilContains("EHLO x\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return gateway.Connections().size() == 1; }));

    const std::string strPage = Curl("/metrics");
    for (const char* pszLine :
         {"HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4",
          "\ntarnwick_connections_total 3\n", "\ntarnwick_rejections_total 2\n",
          "\ntarnwick_mail_server_up 1\n", "\ntarnwick_open_connections 1\n",
          "\ntarnwick_zone_catches_total{zone=\"bl.test\"} 1\n",
          "\ntarnwick_zone_catches_total{zone=\"two.test\"} 2\n",
          "\ntarnwick_dns_queries_total{outcome=\"listed\"} 3\n",
          "\ntarnwick_dns_queries_total{outcome=\"not_listed\"} 3\n",
          "\ntarnwick_dns_queries_total{outcome=\"error\"} 0\n",
          "\ntarnwick_screening_seconds_count 3\n"})
        EXPECT_TRUE(Contains(strPage, pszLine)) << pszLine << "\n" << strPage;
    EXPECT_EQ(Curl("/").rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    EXPECT_TRUE(gateway.Reports().empty());
}

// 100 clients at once, the first with a request it never finishes, then bad requests of every
// kind, while a relay carries a stream: 64 get a 400 at the deadline, the others are closed at
// once, each bad request gets its answer, the stream arrives whole and the descriptors come back.
TEST_F(CMetricsFixture, HostileClientsGetTheirAnswerWhileARelayFlowsUntouched) {
    ASSERT_TRUE(gateway.Start(mail.Port()));
    const std::string strStream = RandomStream(1 << 20, 7);
    CRawClient relayed;
    ASSERT_TRUE(relayed.Connect(gateway.m_nPortIn, "127.0.0.3"));
    ASSERT_TRUE(relayed.SendAll("x") && relayed.ReadUntilContains("x"));
    const int nDescriptors = OpenDescriptors();

    std::vector<CRawClient> idle(100);
    for (CRawClient& client : idle) ASSERT_TRUE(client.Connect(nMetricsPort));
    ASSERT_TRUE(idle[0].SendAll("GET /metr"));
    ASSERT_TRUE(relayed.SendAll(strStream));
    EXPECT_TRUE(
        relayed.ReadUntil([&](const std::string& s) { return s.size() > strStream.size(); }));
    EXPECT_TRUE(relayed.m_strReceived == "x" + strStream);
    std::map<std::string, int> answers;
    for (CRawClient& client : idle) {
        EXPECT_TRUE(client.ReadUntilClosed(30000));
        ++answers[client.m_strReceived.substr(0, 12)];
    }
    EXPECT_EQ(answers, (std::map<std::string, int>{{"", 36}, {"HTTP/1.1 400", 64}}));
    idle.clear();

    const std::vector<std::pair<std::string, std::string>> requests{
        {"POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", "HTTP/1.1 400 "},
        {"GET /metrics HTTP/1.1\r\nX: " + std::string(256 << 10, 'x'), "HTTP/1.1 400 "},
        {std::string("\0\xff\r\n\r\n", 6), "HTTP/1.1 400 "},
        {"GET /other HTTP/1.0\r\n\r\n", "HTTP/1.1 404 "},
        {"GET /metrics HTTP/1.0\r\n\r\n", "HTTP/1.1 200 "},
    };
    for (const auto& [strRequest, strStatus] : requests) {
        CRawClient client;
        ASSERT_TRUE(client.Connect(nMetricsPort));
        EXPECT_TRUE(client.SendAll(strRequest));
        EXPECT_TRUE(client.ReadUntilClosed());
        EXPECT_EQ(client.m_strReceived.rfind(strStatus, 0), 0u) << client.m_strReceived;
    }
    EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors() == nDescriptors; }));
    EXPECT_TRUE(gateway.Reports().empty());
}
