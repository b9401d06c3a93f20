// CheckBlacklists and the debug dump against a real DNSBL server (rbldnsd on a loopback port),
// and the gateway screening with the hive's filters, weights, checks, cache and networks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "gateway/AnswerCache.h"
#include "gateway/ClientLimiter.h"
#include "gateway/DnsblLookup.h"
#include "gateway/GreetPassList.h"
#include "gateway/ListenThread.h"
#include "host/GatewayApp.h"
#include "platform/DnsQuery.h"
#include "platform/LoopResolver.h"
#include "platform/System.h"
#include "tests/support/GatewayHarness.h"
#include "tests/support/Process.h"
#include "tests/support/RawPeer.h"
#include "tests/support/Rbldnsd.h"
#include "tests/support/SilentUdpSocket.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace {
using Lines = std::vector<std::string>;
constexpr std::array<std::uint8_t, 4> kClient{10, 20, 30, 40};
const Lines kDumpHead{"-------", "Checking 10.20.30.40"};

Lines SplitLines(const std::string& strText) {
    Lines lines;
    std::istringstream in(strText);
    for (std::string strLine; std::getline(in, strLine);) lines.push_back(strLine);
    return lines;
}

void UseNameservers(const std::string& strServers) {
    setenv("TARNWICK_NAMESERVERS", strServers.c_str(), 1);
}

// Matches one query's dump line: tab, blank, zone, colon, blank, two tabs, blank, ms, verdict.
::testing::Matcher<std::string> QueryLine(const std::string& strZone,
                                          const std::string& strVerdict) {
    return ::testing::MatchesRegex("\t " + strZone + ": \t\t [0-9]+ ms\t" + strVerdict);
}

// Works in a temporary folder (the dump goes to the working directory), logging and dumping.
class DnsblLookup : public ::testing::Test {
protected:
    void SetUp() override {
        m_strOldDirectory = CurrentDirectory();
        ASSERT_EQ(chdir(m_work.Path().c_str()), 0);
        m_app.m_settings.EnableLogging = 1;
        m_app.m_settings.LogFileName = m_work.File("activity.log");
        m_app.m_gateway.m_bDebugDump = 1;
    }
    void TearDown() override { ASSERT_EQ(chdir(m_strOldDirectory.c_str()), 0); }

    // Serves zone bl.test listing the client and configures it as the one active server.
    void ServeListingZone() {
        m_server.AddZone("bl.test", {"10.20.30.40"});
        StartServer();
        m_app.m_settings.AddDnsblServer("bl.test", 1);
    }
    void StartServer() {
        ASSERT_TRUE(m_server.Start()) << m_server.Output();
        UseNameservers(m_server.Nameserver());
    }
    // Screens with the settings as they stand now, published first (on this, the UI thread).
    template <class TAddress>
    int Check(const TAddress& address) {
        m_app.PublishSettings(false);
        return m_app.m_gateway.CheckBlacklists(address);
    }
    // The same without publishing, on any thread.
    int Screen(const std::array<std::uint8_t, 4>& address) {
        return m_app.m_gateway.CheckBlacklists(address);
    }
    // The catches of the configuration in force.
    int Catches(const std::string& strZone) {
        const ConfigPtr pConfig = m_app.m_gateway.CurrentConfig();
        for (CDnsblServer* p = pConfig->settings.DNSBL_Servers; p; p = p->m_pNext)
            if (p->m_strName == strZone) return pConfig->pPolicy->pCatches->Of(p->m_nId);
        ADD_FAILURE() << "no server " << strZone;
        return -1;
    }
    // The activity log's texts, without their stamps.
    Lines LoggedTexts() const {
        static const std::regex stamp(R"(\d\d/\d\d/\d\d \d\d:\d\d : |\r)");
        return SplitLines(
            std::regex_replace(ReadFileBytes(m_work.File("activity.log")), stamp, ""));
    }
    Lines DumpLines() const { return SplitLines(ReadFileBytes(m_work.File("Tarnwk.dbg"))); }
    bool DumpExists() const { return access(m_work.File("Tarnwk.dbg").c_str(), F_OK) == 0; }

    CTempDir m_work;
    std::string m_strOldDirectory;
    CGatewayApp m_app;
    CRbldnsd m_server;
};
}  // namespace

TEST_F(DnsblLookup, ListingIsCountedLoggedAndDumpedOnlyWithTheDumpOn) {
    ServeListingZone();
    m_app.m_gateway.m_bDebugDump = 0;
    EXPECT_EQ(Check(kClient), 1);
    EXPECT_EQ(m_server.QueriedNames(), Lines{"40.30.20.10.bl.test"});
    EXPECT_EQ(Catches("bl.test"), 1);
    EXPECT_EQ(LoggedTexts(), Lines{"10.20.30.40 Found in bl.test"});
    EXPECT_FALSE(DumpExists());

    // With the dump on, a second client adds to the same catch count and to an existing dump.
    m_app.m_gateway.m_bDebugDump = 1;
    WriteFileBytes(m_work.File("Tarnwk.dbg"), "earlier\n");
    EXPECT_EQ(Check(kClient), 1);
    EXPECT_EQ(Catches("bl.test"), 2);
    EXPECT_EQ(LoggedTexts().size(), 2u);
    const Lines dump = DumpLines();
    ASSERT_EQ(dump.size(), 4u);
    EXPECT_EQ(Lines(dump.begin(), dump.begin() + 3),
              (Lines{"earlier", kDumpHead[0], kDumpHead[1]}));
    EXPECT_THAT(dump[3], QueryLine("bl\\.test", "Listed 200007f"));
}

TEST_F(DnsblLookup, OtherAnswersRaiseCatchesOnlyAndUnknownNamesAreNotListed) {
    m_server.AddZone("other.test", {"10.20.30.40"}, "127.0.0.4");
    m_server.AddZone("empty.test", {});
    StartServer();
    m_app.m_settings.AddDnsblServer("other.test", 1);
    m_app.m_settings.AddDnsblServer("empty.test", 1);

    EXPECT_EQ(Check(kClient), 0);
    EXPECT_EQ(Catches("other.test"), 1);
    EXPECT_EQ(Catches("empty.test"), 0);
    EXPECT_EQ(LoggedTexts(), Lines{});
    const Lines dump = DumpLines();
    ASSERT_EQ(dump.size(), 4u);
    EXPECT_THAT(dump[2], QueryLine("empty\\.test", "Not Listed"));
    EXPECT_THAT(dump[3], QueryLine("other\\.test", "Listed 400007f"));
}

TEST_F(DnsblLookup, EveryActiveServerIsAskedInListOrderAndNoInactiveOne) {
    for (const char* pZone : {"first.test", "third.test", "off.test"})
        m_server.AddZone(pZone, {"10.20.30.40"});
    m_server.AddZone("second.test", {});
    StartServer();
    EXPECT_EQ(Check(kClient), 0) << "no server at all";
    m_app.m_settings.AddDnsblServer("off.test", 0);
    EXPECT_EQ(Check(kClient), 0) << "no active server";
    EXPECT_EQ(DumpLines(), (Lines{kDumpHead[0], kDumpHead[1], kDumpHead[0], kDumpHead[1]}));
    std::remove(m_work.File("Tarnwk.dbg").c_str());

    m_app.m_settings.AddDnsblServer("first.test", 1);
    m_app.m_settings.AddDnsblServer("second.test", 1);
    m_app.m_settings.AddDnsblServer("third.test", 1);
    EXPECT_EQ(Check(kClient), 2);
    // Newest first, no early stop after the first listing, the inactive one never asked.
    EXPECT_EQ(m_server.QueriedNames(), (Lines{"40.30.20.10.third.test", "40.30.20.10.second.test",
                                              "40.30.20.10.first.test"}));
    EXPECT_EQ(LoggedTexts(),
              (Lines{"10.20.30.40 Found in third.test", "10.20.30.40 Found in first.test"}));
    EXPECT_EQ((std::vector<int>{Catches("third.test"), Catches("second.test"),
                                Catches("first.test"), Catches("off.test")}),
              (std::vector<int>{1, 0, 1, 0}));
    const Lines dump = DumpLines();
    ASSERT_EQ(dump.size(), 5u);
    EXPECT_EQ(Lines(dump.begin(), dump.begin() + 2), kDumpHead);
    EXPECT_THAT(dump[2], QueryLine("third\\.test", "Listed 200007f"));
    EXPECT_THAT(dump[3], QueryLine("second\\.test", "Not Listed"));
    EXPECT_THAT(dump[4], QueryLine("first\\.test", "Listed 200007f"));
}

TEST_F(DnsblLookup, RemovedServerWithEmptyNameIsAskedUnderTheRoot) {
    // The reversed address followed by a single dot: 40.30.20.10, answered by a zone "10".
    m_server.AddNames("10", {"40.30.20"});
    StartServer();
    m_app.m_settings.AddDnsblServer("removed.test", 1);
    {
        m_app.m_settings.DNSBL_Servers->m_strName.clear();  // what the dialog's removal does
    }
    EXPECT_EQ(Check(kClient), 1);
    EXPECT_EQ(m_server.QueriedNames(), Lines{"40.30.20.10"});
    EXPECT_EQ(LoggedTexts(), Lines{"10.20.30.40 Found in "});
    ASSERT_EQ(DumpLines().size(), 3u);
    EXPECT_THAT(DumpLines()[2], QueryLine("", "Listed 200007f"));
}

TEST_F(DnsblLookup, OnlyActiveExclusionsWithTheExactTextExempt) {
    ServeListingZone();
    m_app.m_settings.AddExclusion("10.20.30.40", 0);   // disabled
    m_app.m_settings.AddExclusion("010.20.30.40", 1);  // another text for the same address
    m_app.m_settings.AddExclusion("", 1);              // removed
    m_app.m_settings.AddExclusion("10.20.30.40 ", 1);  // texts are kept as given
    EXPECT_EQ(Check(kClient), 1);
    EXPECT_EQ(m_server.QueriedNames().size(), 1u);

    m_app.m_settings.AddExclusion("10.20.30.40", 1);
    std::remove(m_work.File("Tarnwk.dbg").c_str());
    EXPECT_EQ(Check(kClient), 0);
    EXPECT_EQ(m_server.QueriedNames().size(), 1u);  // no query
    EXPECT_FALSE(DumpExists());                     // no dump line, though the dump is on
    EXPECT_EQ(Catches("bl.test"), 1);
    EXPECT_EQ(LoggedTexts().size(), 1u);
}

TEST_F(DnsblLookup, ASilentOrUnreachableServerIsAnErrorNotAListing) {
    CSilentUdpSocket silent;
    UseNameservers(silent.Nameserver());
    m_app.m_settings.AddDnsblServer("first.test", 1);
    m_app.PublishSettings(false);
    auto pending = std::async(std::launch::async, [&] { return Screen(kClient); });
    // Far above the 3 s bound, far below c-ares' default 75 s.
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(pending.get(), 0);
    ASSERT_EQ(DumpLines().size(), 3u);
    EXPECT_THAT(DumpLines()[2], QueryLine("first\\.test", "Err: 12"));  // ARES_ETIMEOUT

    // No DNS server reachable at all: no client is rejected.
    std::remove(m_work.File("Tarnwk.dbg").c_str());
    UseNameservers("127.0.0.1:" + std::to_string(FreeUdpPort()));
    m_app.m_settings.AddDnsblServer("second.test", 1);
    EXPECT_EQ(Check(kClient), 0);
    const Lines dump = DumpLines();
    ASSERT_EQ(dump.size(), 4u);
    EXPECT_THAT(dump[2], QueryLine("second\\.test", "Err: [0-9]+"));
    EXPECT_THAT(dump[3], QueryLine("first\\.test", "Err: [0-9]+"));
    EXPECT_EQ(Catches("first.test") + Catches("second.test"), 0);
    EXPECT_EQ(LoggedTexts(), Lines{});
}

// A load published while a query runs takes effect for the next screening only: the query
// goes on with the configuration it started with, and its catch goes to the old entries'
// counts, not to the new ones'.
TEST_F(DnsblLookup, AReloadDuringAQueryLeavesItsConfigurationAlone) {
    m_server.AddZone("bl.test", {"10.20.30.40"});
    ASSERT_TRUE(m_server.Start()) << m_server.Output();
    // The silent server is asked first; after its 1 s try, rbldnsd answers.
    CSilentUdpSocket silent;
    UseNameservers(silent.Nameserver() + "," + m_server.Nameserver());
    m_app.m_settings.AddDnsblServer("bl.test", 1);
    m_app.PublishSettings(true);
    const ConfigPtr pOld = m_app.m_gateway.CurrentConfig();

    auto pending = std::async(std::launch::async, [&] { return Screen(kClient); });
    ASSERT_TRUE(silent.WaitForDatagram(10000));  // the query is in flight now
    m_app.m_settings.ClearDnsblServers();
    m_app.m_settings.AddDnsblServer("bl.test", 1);
    m_app.PublishSettings(true);
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(pending.get(), 1);
    EXPECT_EQ(m_server.QueriedNames(), Lines{"40.30.20.10.bl.test"});
    EXPECT_EQ(Catches("bl.test"), 0);
    EXPECT_EQ(pOld->pPolicy->pCatches->Of(1), 1);
    EXPECT_EQ(LoggedTexts(), Lines{"10.20.30.40 Found in bl.test"});
}

namespace {
// Keeps what screening writes, without an application object.
class CRecordingScreeningLog : public IScreeningLog {
public:
    Lines m_logged, m_dump;
    void LogLine(const std::string& strText) override { m_logged.push_back(strText); }
    bool IsDumping() override { return true; }
    void WriteDebugDump(const std::string& strText) override {
        for (const std::string& strLine : SplitLines(strText)) m_dump.push_back(strLine);
    }
};
}  // namespace

// Screening needs only the settings and somewhere to log: the verdict goes to the continuation,
// with the listing's log line and the trace written where it is told.
TEST(DnsblLookupAlone, VerdictReachesTheContinuationWithItsLogAndTrace) {
    CRbldnsd server;
    server.AddZone("bl.test", {"10.20.30.40"});
    server.AddZone("clean.test", {});
    ASSERT_TRUE(server.Start()) << server.Output();
    UseNameservers(server.Nameserver());
    Settings settings;
    settings.AddDnsblServer("clean.test", 1);
    settings.AddDnsblServer("bl.test", 1);
    CRecordingScreeningLog log;
    CDnsblLookup lookup(log);
    const CDnsblLookup::Policy pPolicy = lookup.Reload(settings);
    int nVerdict = -1;
    lookup.Start(CNetAddress::FromIPv4(kClient), pPolicy,
                 [&](int nListings) { nVerdict = nListings; });
    EXPECT_EQ(nVerdict, 1);
    EXPECT_EQ(log.m_logged, Lines{"10.20.30.40 Found in bl.test"});
    ASSERT_EQ(log.m_dump.size(), 4u);
    EXPECT_EQ(Lines(log.m_dump.begin(), log.m_dump.begin() + 2), kDumpHead);
    EXPECT_THAT(log.m_dump[2], QueryLine("bl\\.test", "Listed 200007f"));
    EXPECT_THAT(log.m_dump[3], QueryLine("clean\\.test", "Not Listed"));
    EXPECT_EQ(lookup.Check(kClient), 1);
    unsetenv("TARNWICK_NAMESERVERS");
}

namespace {
// What one screening gave: verdict, "Found in" lines, the trace (milliseconds left out) and
// every zone's catch count, from the head of the list.
struct CScreeningOutcome {
    int nVerdict = -1;
    Lines logged, dump;
    std::vector<int> catches;
    bool operator==(const CScreeningOutcome&) const = default;
};

void PrintTo(const CScreeningOutcome& o, std::ostream* pOut) {
    *pOut << o.nVerdict << " " << ::testing::PrintToString(o.logged)
          << ::testing::PrintToString(o.dump) << ::testing::PrintToString(o.catches);
}

// Screens the address both ways with fresh catch counts: blocking, then on a loop of this thread.
std::pair<CScreeningOutcome, CScreeningOutcome> ScreenBothWays(Settings& settings,
                                                               const CNetAddress& a) {
    CScreeningOutcome outcomes[2];
    for (int nConcurrent = 0; nConcurrent < 2; ++nConcurrent) {
        CScreeningOutcome& outcome = outcomes[nConcurrent];
        CRecordingScreeningLog log;
        CDnsblLookup lookup(log);
        const CDnsblLookup::Policy pPolicy = lookup.Reload(settings);
        if (nConcurrent == 0) {
            outcome.nVerdict = lookup.Check(a, pPolicy);
        } else {
            CEventLoop loop;
            CLoopResolver resolver;
            auto pPending =
                lookup.StartConcurrent(a, pPolicy, resolver, [&](int n) { outcome.nVerdict = n; });
            EXPECT_TRUE(PumpUntil(loop, [&] { return outcome.nVerdict >= 0; }));
        }
        outcome.logged = log.m_logged;
        for (const std::string& strLine : log.m_dump)
            outcome.dump.push_back(std::regex_replace(strLine, std::regex("[0-9]+ ms"), "ms"));
        for (CDnsblServer* p = settings.DNSBL_Servers; p; p = p->m_pNext)
            outcome.catches.push_back(pPolicy->pCatches->Of(p->m_nId));
    }
    return {outcomes[0], outcomes[1]};
}
}  // namespace

// The same cases give the same verdicts, lines, trace and catches, whichever way they are asked.
TEST(ConcurrentScreening, VerdictsLinesAndCatchesEqualTheBlockingOnes) {
    CRbldnsd server;
    server.AddZone("one.test", {"10.20.30.40", "2001:db8::40"});
    server.AddZone("four.test", {"10.20.30.40", "10.9.9.9", "2001:db8::40"}, "127.0.0.4");
    server.AddZone("clean.test", {});
    server.AddZone("off.test", {"10.20.30.40", "2001:db8::40"});
    server.AddZone("two.test", {"10.20.30.40", "10.9.9.9", "2001:db8::40"});
    ASSERT_TRUE(server.Start()) << server.Output();
    CSilentUdpSocket silent;
    Settings settings;
    for (const char* pZone : {"two.test", "off.test", "clean.test", "four.test", "one.test"})
        settings.AddDnsblServer(pZone, std::string(pZone) != "off.test");
    settings.AddExclusion("10.1.1.1", 1);
    settings.AddExclusion("2001:db8:0:0:1::/80", 1);
    const auto address = [](const char* pText) {
        CNetPrefix single;
        EXPECT_EQ(ParseNetPrefix(pText, single), "");
        return single.address;
    };
    const CNetAddress client = CNetAddress::FromIPv4(kClient);
    struct CCase {
        CNetAddress address;
        std::string strServers;
        int nVerdict;
    } cases[] = {{client, server.Nameserver(), 2},  // two listings, an answer, a miss
                 {address("10.9.9.9"), server.Nameserver(), 1},
                 {address("10.7.7.7"), server.Nameserver(), 0},  // listed nowhere
                 {address("10.1.1.1"), server.Nameserver(), 0},  // excluded: no line at all
                 {address("2001:db8::40"), server.Nameserver(), 2},
                 {address("2001:db8::1:0:0:40"), server.Nameserver(), 0},  // excluded
                 {client, silent.Nameserver(), 0}};  // every zone silent: Err: 12
    for (const CCase& c : cases) {
        UseNameservers(c.strServers);
        if (c.strServers == silent.Nameserver()) {  // one zone, the bound is 3 s a query
            for (CDnsblServer* p = settings.DNSBL_Servers; p; p = p->m_pNext)
                p->m_bActive = p->m_strName == "one.test";
        }
        const auto [blocking, concurrent] = ScreenBothWays(settings, c.address);
        SCOPED_TRACE(c.address.ToText());
        EXPECT_EQ(blocking.nVerdict, c.nVerdict) << c.strServers;
        EXPECT_EQ(concurrent, blocking) << c.strServers;
        if (!blocking.dump.empty()) {
            EXPECT_EQ(blocking.dump[1], "Checking " + c.address.ToText());
        }
        if (c.strServers == silent.Nameserver()) {
            EXPECT_EQ(concurrent.dump.back(), "\t one.test: \t\t ms\tErr: 12");
        }
    }
    unsetenv("TARNWICK_NAMESERVERS");
}

// A reload while the answers are out: the verdict stands, the new entries' catches stay at 0,
// and an answer that comes after the reload lowered DnsblCacheSeconds is kept no longer than
// the new limit.
TEST(ConcurrentScreening, AReloadMidLookupRaisesNoCatchOnTheNewList) {
    CRbldnsd server;
    server.AddZone("bl.test", {"10.20.30.40"});
    ASSERT_TRUE(server.Start()) << server.Output();
    CSilentUdpSocket silent;
    UseNameservers(silent.Nameserver() + "," + server.Nameserver());
    Settings settings;
    settings.AddDnsblServer("bl.test", 1);
    settings.DnsblCacheSeconds = 3600;
    CRecordingScreeningLog log;
    CDnsblLookup lookup(log);
    const CDnsblLookup::Policy pOld = lookup.Reload(settings);
    CEventLoop loop;
    CLoopResolver resolver;
    int nVerdict = -1;
    auto pPending = lookup.StartConcurrent(CNetAddress::FromIPv4(kClient), pOld, resolver,
                                           [&](int n) { nVerdict = n; });
    ASSERT_TRUE(silent.WaitForDatagram(10000));
    settings.ClearDnsblServers();
    settings.AddDnsblServer("bl.test", 1);
    settings.DnsblCacheSeconds = 1;
    const CDnsblLookup::Policy pNew = lookup.Reload(settings);
    ASSERT_TRUE(PumpUntil(loop, [&] { return nVerdict >= 0; }));
    EXPECT_EQ(nVerdict, 1);
    EXPECT_EQ(pNew->pCatches->Of(settings.DNSBL_Servers->m_nId), 0);
    EXPECT_EQ(pOld->pCatches->Of(1), 1);
    EXPECT_EQ(log.m_logged, Lines{"10.20.30.40 Found in bl.test"});
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(lookup.Check(kClient), 1);
    EXPECT_EQ(lookup.Metrics().Snapshot().nCacheHits, 0u);
    EXPECT_EQ(server.QueriedNames().size(), 2u);
    unsetenv("TARNWICK_NAMESERVERS");
}

namespace {
// The datasets of the end-to-end table below. Clients are 127.0.0.x addresses; 127.0.0.2 and
// 127.0.0.1 are the test addresses every list must and must not list.
const std::string kPlainData =
    ":127.0.0.2:\n127.0.0.2\n127.0.0.20\n127.0.0.35\n:127.0.0.4:\n127.0.0.21\n";
// A combined list: codes 2 to 11 list, 127.255.255.254 refuses, 127.0.0.20 and .21 are outside
// the filter (127.0.0.33 gets .20, .4 and .21, in that order); answers live 4 s, and a name
// that does not exist 4 s too (its SOA's minimum).
const std::string kCombinedData =
    "$TTL 4\n$SOA 4 ns.combined.test. admin.combined.test. 1 60 60 60 4\n"
    ":127.0.0.2:\n127.0.0.2\n:127.0.0.20:\n127.0.0.32\n127.0.0.33\n"
    ":127.0.0.4:\n127.0.0.30\n127.0.0.33\n127.0.0.34\n127.0.0.35\n:127.0.0.21:\n127.0.0.33\n"
    ":127.255.255.254:\n127.0.0.31\n";
const std::string kAllowData = ":127.0.0.2:\n127.0.0.2\n127.0.0.34\n";
const std::string kWorldData = "127.0.0.0/8\n";  // lists everyone, 127.0.0.1 included
const std::string kFixedWorldData = "127.0.0.2\n";

// One step: optionally a new hive (screening values and zones) reloaded, then one client.
struct CScreeningStep {
    const char* pWhat;
    std::string strHive;           // empty: the hive stays; otherwise loaded by a reload
    std::function<void()> before;  // done before the reload and the client
    bool bWaitForChecks;           // wait until the zone checks of the reload have their answers
    const char* pClient;
    const char* pOutcome;        // the client's "Connection from" line, after the address
    std::optional<Lines> asked;  // the names asked about the client, sorted; nullopt: any
};

// The activity log's lines, without stamps.
Lines LogTexts(const std::string& strLog) {
    static const std::regex stamp(R"(\d\d/\d\d/\d\d \d\d:\d\d : |\r)");
    return SplitLines(std::regex_replace(strLog, stamp, ""));
}

size_t CountOf(const Lines& lines, const std::string& strLine) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), strLine));
}

// The names asked from index nFrom on, sorted, without the zone checks' test addresses.
Lines AskedSince(const CRbldnsd& server, size_t nFrom) {
    const Lines names = server.QueriedNames();
    Lines asked;
    for (size_t i = nFrom; i < names.size(); ++i)
        if (names[i].rfind("1.0.0.127.", 0) != 0 && names[i].rfind("2.0.0.127.", 0) != 0)
            asked.push_back(names[i]);
    std::sort(asked.begin(), asked.end());
    return asked;
}

class CTodaysLists : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(Screening, CTodaysLists, ::testing::Values(0, 1));
}  // namespace

// The gateway in this process against rbldnsd, blocking or concurrent, step by step: reply
// filters and weights over the codes lists give, a threshold with an allowlist, a zone that
// lists everyone (rejecting with checks off, suspended before it rejects anyone with them on,
// resumed once fixed and reloaded, its answers kept while it was broken dropped), a zone whose
// check gets no answer (not asked, said once), answers kept for their TTL, and a network
// exclusion.
TEST_P(CTodaysLists, FiltersWeightsChecksCacheAndNetworksScreenAsTheHiveSays) {
    CRbldnsd dnsbl;
    dnsbl.AddDataset("plain.test", kPlainData);
    dnsbl.AddDataset("combined.test", kCombinedData);
    dnsbl.AddDataset("wl.test", kAllowData);
    const std::string strWorld = dnsbl.AddDataset("world.test", kWorldData);
    ASSERT_TRUE(dnsbl.Start()) << dnsbl.Output();
    UseNameservers(dnsbl.Nameserver());
    CRawServer mail;
    ASSERT_TRUE(mail.Start(EchoUntilClosed));
    CGatewayHarness gateway;
    const std::string strHive = gateway.m_dir.File("registry.reg");
    setenv("TARNWICK_REGISTRY", strHive.c_str(), 1);
    const auto hive = [&](const std::string& strValues, const Lines& zones,
                          const std::string& strExclusion = "") {
        std::string strText = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenfield\\Tarnwick]\n";
        strText +=
            "\"EnableLogging\"=\"1\"\n\"LogFileName\"=\"" + gateway.m_dir.File("activity.log") +
            "\"\n\"MailServer\"=\"127.0.0.1\"\n\"PortIn\"=\"" + std::to_string(gateway.m_nPortIn) +
            "\"\n\"PortOut\"=\"" + std::to_string(mail.Port()) + "\"\n\"ConcurrentScreening\"=\"" +
            std::to_string(GetParam()) + "\"\n" + strValues;
        for (size_t i = 0; i < zones.size(); ++i)
            strText += "\"DNSBL_" + std::to_string(i) + "\"=\"+" + zones[i] + "\"\n";
        strText += "\"DNSBL_Servers\"=\"" + std::to_string(zones.size()) + "\"\n";
        if (!strExclusion.empty())
            strText += "\"Exclusion_0\"=\"+" + strExclusion + "\"\n\"Exclusions\"=\"1\"\n";
        return strText;
    };
    const std::string strFiltered = "combined.test=127.0.0.[2..11]";
    const auto askedOf = [](const std::string& strClient, const Lines& zones) {
        std::array<int, 4> a{};
        std::sscanf(strClient.c_str(), "%d.%d.%d.%d", &a[0], &a[1], &a[2], &a[3]);
        Lines names;
        for (const std::string& strZone : zones)
            names.push_back(std::to_string(a[3]) + "." + std::to_string(a[2]) + "." +
                            std::to_string(a[1]) + "." + std::to_string(a[0]) + "." + strZone);
        std::sort(names.begin(), names.end());
        return names;
    };
    const Lines both{"combined.test", "plain.test"};
    const Lines worldAndPlain{"world.test", "plain.test"};
    const std::string strKept =
        hive("\"ZoneCheckMinutes\"=\"60\"\n\"DnsblCacheSeconds\"=\"3600\"\n", worldAndPlain);
    const std::string strGone = hive("\"ZoneCheckMinutes\"=\"60\"\n", {"plain.test", "gone.test"});
    const std::string strRejected1 = "Rejected (Blacklist Listings: 1)";
    const std::vector<CScreeningStep> steps{
        {"a plain listing",
         hive("\"MonitorFrom\"=\"127.0.0.1, 10.1.2.300\"\n",
              {"plain.test", strFiltered, "bad.test=127.0.0"}),
         {},
         false,
         "127.0.0.20",
         strRejected1.c_str(),
         askedOf("127.0.0.20", both)},
        {"a plain zone's other code",
         "",
         {},
         false,
         "127.0.0.21",
         "Accepted",
         askedOf("127.0.0.21", both)},
        {"an exploited host's code in the filter",
         "",
         {},
         false,
         "127.0.0.30",
         strRejected1.c_str(),
         askedOf("127.0.0.30", both)},
        {"a refusal", "", {}, false, "127.0.0.31", "Accepted", askedOf("127.0.0.31", both)},
        {"a refusal again, not logged again",
         "",
         {},
         false,
         "127.0.0.31",
         "Accepted",
         askedOf("127.0.0.31", both)},
        {"a code outside the filter",
         "",
         {},
         false,
         "127.0.0.32",
         "Accepted",
         askedOf("127.0.0.32", both)},
        {"one code of three in the filter",
         "",
         {},
         false,
         "127.0.0.33",
         strRejected1.c_str(),
         askedOf("127.0.0.33", both)},
        {"one zone of weight 1 under threshold 2",
         hive("\"DnsblThreshold\"=\"2\"\n",
              {"plain.test", strFiltered + "*2", "wl.test=127.0.[0..255].[1..3]*-5"}),
         {},
         false,
         "127.0.0.20",
         "Accepted",
         askedOf("127.0.0.20", {"combined.test", "plain.test", "wl.test"})},
        {"a zone of weight 2",
         "",
         {},
         false,
         "127.0.0.30",
         strRejected1.c_str(),
         askedOf("127.0.0.30", {"combined.test", "plain.test", "wl.test"})},
        {"two zones, 3 in all",
         "",
         {},
         false,
         "127.0.0.35",
         "Rejected (Blacklist Listings: 2)",
         askedOf("127.0.0.35", {"combined.test", "plain.test", "wl.test"})},
        {"listed, but allowlisted",
         "",
         {},
         false,
         "127.0.0.34",
         "Accepted",
         askedOf("127.0.0.34", {"combined.test", "plain.test", "wl.test"})},
        {"a zone listing everyone, checks off",
         hive("", {"world.test"}),
         {},
         false,
         "127.0.0.50",
         strRejected1.c_str(),
         askedOf("127.0.0.50", {"world.test"})},
        {"checks on: not asked before its check",
         hive("\"ZoneCheckMinutes\"=\"60\"\n", {"world.test", "plain.test"}),
         {},
         false,
         "127.0.0.50",
         "Accepted",
         std::nullopt},
        {"checks on: suspended",
         "",
         {},
         true,
         "127.0.0.50",
         "Accepted",
         askedOf("127.0.0.50", {"plain.test"})},
        {"the zone fixed and reloaded, answers kept", strKept,
         [&] { ASSERT_TRUE(dnsbl.RewriteDataset(strWorld, kFixedWorldData)); }, true, "127.0.0.50",
         "Accepted", askedOf("127.0.0.50", worldAndPlain)},
        {"broken after its check: its listing kept", "",
         [&] { ASSERT_TRUE(dnsbl.RewriteDataset(strWorld, kWorldData)); }, false, "127.0.0.51",
         strRejected1.c_str(), askedOf("127.0.0.51", worldAndPlain)},
        {"suspended: the listing kept not used",
         strKept,
         {},
         true,
         "127.0.0.51",
         "Accepted",
         askedOf("127.0.0.51", {"plain.test"})},
        {"fixed and resumed: asked afresh", strKept,
         [&] { ASSERT_TRUE(dnsbl.RewriteDataset(strWorld, kFixedWorldData)); }, true, "127.0.0.51",
         "Accepted", askedOf("127.0.0.51", worldAndPlain)},
        // gone.test is not served: its check is refused, which is no answer.
        {"a zone whose check gets no answer is not asked",
         strGone,
         {},
         true,
         "127.0.0.20",
         strRejected1.c_str(),
         askedOf("127.0.0.20", {"plain.test"})},
        {"nor after another round",
         strGone,
         {},
         true,
         "127.0.0.20",
         strRejected1.c_str(),
         askedOf("127.0.0.20", {"plain.test"})},
        {"cache: asked",
         hive("\"DnsblCacheSeconds\"=\"60\"\n", {strFiltered}),
         {},
         false,
         "127.0.0.30",
         strRejected1.c_str(),
         askedOf("127.0.0.30", {"combined.test"})},
        {"cache: kept listing", "", {}, false, "127.0.0.30", strRejected1.c_str(), Lines{}},
        {"cache: asked, no such name",
         "",
         {},
         false,
         "127.0.0.60",
         "Accepted",
         askedOf("127.0.0.60", {"combined.test"})},
        {"cache: kept for the SOA's minimum", "", {}, false, "127.0.0.60", "Accepted", Lines{}},
        {"cache: asked again after the TTL", "",
         [] { std::this_thread::sleep_for(std::chrono::milliseconds(4500)); }, false, "127.0.0.30",
         strRejected1.c_str(), askedOf("127.0.0.30", {"combined.test"})},
        {"an excluded network",
         hive("", {strFiltered}, "127.0.1.0/24"),
         {},
         false,
         "127.0.1.30",
         "Accepted",
         Lines{}},
        {"just outside it",
         "",
         {},
         false,
         "127.0.2.30",
         "Accepted",
         askedOf("127.0.2.30", {"combined.test"})},
    };
    WriteFileBytes(strHive, steps[0].strHive);
    ASSERT_TRUE(gateway.m_app.LoadSettings());
    ASSERT_TRUE(gateway.Start(mail.Port()));
    for (const CScreeningStep& step : steps) {
        SCOPED_TRACE(step.pWhat);
        if (step.before) step.before();
        if (!step.strHive.empty() && &step != &steps[0]) {
            WriteFileBytes(strHive, step.strHive);
            ASSERT_TRUE(gateway.m_app.ReloadSettings());
        }
        if (step.bWaitForChecks) {
            ASSERT_TRUE(WaitUntil([&] {
                size_t nOutstanding = 0;
                gateway.OnListener([&] {
                    nOutstanding = gateway.m_app.m_gateway.ListenThread()->ZoneChecksOutstanding();
                });
                return nOutstanding == 0;
            }));
        }
        const size_t nAskedBefore = dnsbl.QueriedNames().size();
        const std::string strLine = std::string("Connection from ") + step.pClient + " ";
        const size_t nSeen = CountOf(LogTexts(gateway.ActivityLog()), strLine + step.pOutcome);
        CRawClient client;
        ASSERT_TRUE(client.Connect(gateway.m_nPortIn, step.pClient));
        EXPECT_TRUE(WaitUntil([&] {
            return CountOf(LogTexts(gateway.ActivityLog()), strLine + step.pOutcome) > nSeen;
        })) << gateway.ActivityLog();
        if (step.asked) {
            EXPECT_EQ(AskedSince(dnsbl, nAskedBefore), *step.asked);
        }
    }
    const Lines logged = LogTexts(gateway.ActivityLog());
    EXPECT_EQ(CountOf(logged, "DNSBL combined.test Refused the Query (127.255.255.254)"), 1u);
    EXPECT_EQ(CountOf(logged, "127.0.0.35 Found in plain.test"), 1u);
    EXPECT_EQ(CountOf(logged, "127.0.0.34 Found in wl.test"), 1u);
    EXPECT_EQ(CountOf(logged, "DNSBL world.test Resumed"), 2u);
    EXPECT_EQ(CountOf(logged, "DNSBL gone.test Not Checked (No Answer)"), 1u);
    // The load's own reports come before those of the entries it could not read.
    EXPECT_EQ(gateway.Reports(),
              (Lines{"MonitorFrom: \"10.1.2.300\" is not an IPv4 address and is ignored.",
                     "DNSBL \"bad.test=127.0.0\": the filter \"127.0.0\" does not have four parts "
                     "separated by dots; the entry is not asked.",
                     "DNSBL world.test Suspended (Lists 127.0.0.1)",
                     "DNSBL world.test Suspended (Lists 127.0.0.1)"}));
    gateway.Stop();
    unsetenv("TARNWICK_REGISTRY");
    unsetenv("TARNWICK_NAMESERVERS");
}

// What the answer cache keeps and for how long: the smallest TTL of the records, the SOA's
// negative TTL, never a failure or a refusal, never beyond the limit in force; the oldest answer
// goes first when it is full, an expired one is not given, and a reload keeps only the zones
// named.
TEST(AnswerCache, KeepsAnswersForTheirTtlWithinTheLimitAndDropsTheOldestFirst) {
    const CDnsRecordA listed{{127, 0, 0, 2}, 300}, shortLived{{127, 0, 0, 4}, 20};
    const struct {
        CDnsAnswer answer;
        std::int32_t nLimit;
        std::uint32_t nKeep;
    } cases[] = {
        {{kDnsSuccess, {listed, shortLived}, {}}, 3600, 20},
        {{kDnsSuccess, {listed}, {}}, 60, 60},
        {{kDnsSuccess, {listed}, {}}, 0, 0},                                  // the cache is off
        {{kDnsSuccess, {listed, {{127, 255, 255, 254}, 300}}, {}}, 3600, 0},  // a refusal
        {{kDnsSuccess, {CDnsRecordA{{10, 0, 0, 1}, 300}}, {}}, 3600, 0},      // no list answer
        {{kDnsNameNotFound, {}, 900}, 3600, 900},
        {{kDnsNameNotFound, {}, 900}, 60, 60},
        {{kDnsNameNotFound, {}, {}}, 3600, 0},  // no SOA: nothing to go by
        {{12, {}, {}}, 3600, 0},                // a time-out
    };
    for (const auto& c : cases)
        EXPECT_EQ(CAnswerCache::KeepSeconds(c.answer, c.nLimit), c.nKeep)
            << c.answer.nStatus << " " << c.answer.records.size() << " " << c.nLimit;

    CAnswerCache cache(2);
    const auto key = [](const char* pZone, std::uint8_t nLast) {
        return CAnswerKey{pZone, CNetAddress::FromIPv4({10, 0, 0, nLast})};
    };
    const CDnsAnswer answer{kDnsSuccess, {listed}, {}};
    cache.Put(key("a.test", 1), answer, 0);  // no limit yet: nothing is kept
    EXPECT_EQ(cache.Size(), 0u);
    cache.SetLimit(60);
    cache.Put(key("a.test", 1), answer, 0);
    cache.Put(key("b.test", 1), answer, 1000);
    EXPECT_EQ(cache.Get(key("a.test", 1), 59999), answer);
    EXPECT_EQ(cache.Get(key("a.test", 2), 1000), std::nullopt);
    cache.Put(key("a.test", 3), answer, 2000);  // full: a.test 1 was put first and goes
    EXPECT_EQ(cache.Get(key("a.test", 1), 2000), std::nullopt);
    EXPECT_EQ(cache.Get(key("b.test", 1), 60999), answer);
    EXPECT_EQ(cache.Get(key("b.test", 1), 61000), std::nullopt);  // expired
    cache.Put(key("b.test", 1), answer, 3000);
    cache.KeepZones({"b.test"});
    EXPECT_EQ(cache.Size(), 1u);
    EXPECT_EQ(cache.Get(key("b.test", 1), 3000), answer);
    cache.DropZone("b.test");  // its health changed
    EXPECT_EQ(cache.Size(), 0u);
    // A new limit drops what was kept under the old one, and holds for what is put after.
    cache.Put(key("b.test", 1), answer, 4000);
    cache.SetLimit(5);
    EXPECT_EQ(cache.Size(), 0u);
    cache.Put(key("b.test", 1), answer, 4000);
    EXPECT_EQ(cache.Get(key("b.test", 1), 9000), std::nullopt);
}

// The clients that passed the talk-first wait: an IPv6 client by its /64, for the hours asked
// at each question, the oldest pass first out when full (a client that passes again is new).
TEST(GreetPassList, RemembersByClientForTheHoursAskedAndDropsTheOldestPassFirst) {
    const auto v4 = [](std::uint8_t nLast) { return CNetAddress::FromIPv4({192, 0, 2, nLast}); };
    const auto v6 = [](std::uint8_t nNetwork, std::uint8_t nLast) {
        std::array<std::uint8_t, 16> bytes{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, nNetwork};
        bytes[15] = nLast;
        return CNetAddress::FromIPv6(bytes);
    };
    const long long nHourMs = 3600 * 1000;
    CGreetPassList passes(3);
    passes.Remember(v4(1), 0);
    passes.Remember(v6(0, 1), 1);
    EXPECT_TRUE(passes.HasPassed(v4(1), nHourMs - 1, 1));
    EXPECT_FALSE(passes.HasPassed(v4(2), 0, 24));
    EXPECT_TRUE(passes.HasPassed(v6(0, 0x99), 2, 24));  // the same /64
    EXPECT_FALSE(passes.HasPassed(v6(1, 1), 2, 24));
    EXPECT_TRUE(passes.HasPassed(v4(1), 10 * nHourMs, 24));
    EXPECT_FALSE(passes.HasPassed(v4(1), 2 * nHourMs, 2));  // past the hours now asked: gone
    EXPECT_FALSE(passes.HasPassed(v4(1), 2 * nHourMs, 24));
    EXPECT_EQ(passes.Size(), 1u);
    EXPECT_FALSE(passes.HasPassed(v4(9), 0, 0));  // 0 hours: nobody counts as passed
    passes.Remember(v4(1), 10);
    passes.Remember(v4(2), 11);
    passes.Remember(v6(0, 1), 12);  // passed again: now the newest
    passes.Remember(v4(3), 13);     // full: 192.0.2.1 passed longest ago
    EXPECT_EQ(passes.Size(), 3u);
    EXPECT_FALSE(passes.HasPassed(v4(1), 20, 24));
    for (const CNetAddress& address : {v4(2), v6(0, 1), v4(3)})
        EXPECT_TRUE(passes.HasPassed(address, 20, 24)) << address.ToText();
}

// Connections at once and per minute for each client: a slot counts until it goes, the bucket
// fills again at the rate, a refusal costs nothing and is to be logged once a minute, and a
// client quiet for a minute is forgotten unless it holds a connection (192.0.2.1 holds two).
TEST(ClientLimiter, CountsConnectionsAtOnceAndPerMinuteAndLogsRefusalsOnceAMinute) {
    CClientLimiter limiter;
    const CNetAddress a = CNetAddress::FromIPv4({192, 0, 2, 1});
    const CNetAddress b = CNetAddress::FromIPv4({192, 0, 2, 2});
    EXPECT_EQ(limiter.Admit(a, 0, 0, 0).bAdmitted, true);  // both off: nothing kept
    EXPECT_EQ(limiter.Tracked(), 0u);

    std::vector<CClientLimiter::CSlot> held;
    for (int i = 0; i < 2; ++i) held.push_back(std::move(limiter.Admit(a, 0, 2, 0).slot));
    CClientLimiter::CAdmission over = limiter.Admit(a, 1, 2, 0);
    EXPECT_FALSE(over.bAdmitted);
    EXPECT_TRUE(over.bLog);
    EXPECT_TRUE(limiter.Admit(b, 1, 2, 0).bAdmitted);  // another client has its own count
    EXPECT_FALSE(limiter.Admit(a, 59999, 2, 0).bLog);
    EXPECT_TRUE(limiter.Admit(a, 60001, 2, 0).bLog);
    held.pop_back();  // one ends: room for one
    held.push_back(std::move(limiter.Admit(a, 60002, 2, 0).slot));
    EXPECT_FALSE(limiter.Admit(a, 60003, 2, 0).bAdmitted);

    // Three a minute: three at once, then one every 20 seconds; refusals take nothing.
    const CNetAddress c = CNetAddress::FromIPv4({192, 0, 2, 3});
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(limiter.Admit(c, 1000, 0, 3).bAdmitted) << i;
    EXPECT_FALSE(limiter.Admit(c, 1000, 0, 3).bAdmitted);
    EXPECT_FALSE(limiter.Admit(c, 20999, 0, 3).bAdmitted);
    EXPECT_TRUE(limiter.Admit(c, 21000, 0, 3).bAdmitted);
    EXPECT_FALSE(limiter.Admit(c, 21001, 0, 3).bAdmitted);
    int nAfterAnHour = 0;
    for (int i = 0; i < 5; ++i) nAfterAnHour += limiter.Admit(c, 3600000, 0, 3).bAdmitted;
    EXPECT_EQ(nAfterAnHour, 3);  // the bucket holds no more than a minute's worth

    // Thousands of clients come and go, ten a second; those quiet for a minute are swept (about
    // 600 are not), a client holding connections is kept with its count.
    for (std::uint32_t i = 0; i < 5000; ++i)
        limiter.Admit(CNetAddress::FromIPv4(htonl(0x0A000000 + i)), 4000000 + 100LL * i, 1, 0);
    EXPECT_LT(limiter.Tracked(), 1300u);
    EXPECT_FALSE(limiter.Admit(a, 5000000, 1, 0).bAdmitted);
}
