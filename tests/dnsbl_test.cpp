// CheckBlacklists and the debug dump against a real DNSBL server (rbldnsd on a loopback port).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <regex>
#include <sstream>

#include "gateway/DnsblLookup.h"
#include "host/GatewayApp.h"
#include "platform/LoopResolver.h"
#include "platform/System.h"
#include "tests/support/Process.h"
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
        m_app.m_settings.SetLogFileName(m_work.File("activity.log"));
        m_app.m_bDebugDump = 1;
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
    int Catches(const std::string& strZone) {
        std::lock_guard<std::recursive_mutex> guard(m_app.m_settings.m_lock);
        for (CDnsblServer* p = m_app.m_settings.DNSBL_Servers; p; p = p->m_pNext)
            if (p->m_strName == strZone) return p->m_nCatches;
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
    m_app.m_bDebugDump = 0;
    EXPECT_EQ(m_app.CheckBlacklists(kClient), 1);
    EXPECT_EQ(m_server.QueriedNames(), Lines{"40.30.20.10.bl.test"});
    EXPECT_EQ(Catches("bl.test"), 1);
    EXPECT_EQ(LoggedTexts(), Lines{"10.20.30.40 Found in bl.test"});
    EXPECT_FALSE(DumpExists());

    // With the dump on, a second client adds to the same catch count and to an existing dump.
    m_app.m_bDebugDump = 1;
    WriteFileBytes(m_work.File("Tarnwk.dbg"), "earlier\n");
    EXPECT_EQ(m_app.CheckBlacklists(kClient), 1);
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

    EXPECT_EQ(m_app.CheckBlacklists(kClient), 0);
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
    EXPECT_EQ(m_app.CheckBlacklists(kClient), 0) << "no server at all";
    m_app.m_settings.AddDnsblServer("off.test", 0);
    EXPECT_EQ(m_app.CheckBlacklists(kClient), 0) << "no active server";
    EXPECT_EQ(DumpLines(), (Lines{kDumpHead[0], kDumpHead[1], kDumpHead[0], kDumpHead[1]}));
    std::remove(m_work.File("Tarnwk.dbg").c_str());

    m_app.m_settings.AddDnsblServer("first.test", 1);
    m_app.m_settings.AddDnsblServer("second.test", 1);
    m_app.m_settings.AddDnsblServer("third.test", 1);
    EXPECT_EQ(m_app.CheckBlacklists(kClient), 2);
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
        std::lock_guard<std::recursive_mutex> guard(m_app.m_settings.m_lock);
        m_app.m_settings.DNSBL_Servers->m_strName.clear();  // what the dialog's removal does
    }
    EXPECT_EQ(m_app.CheckBlacklists(kClient), 1);
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
    EXPECT_EQ(m_app.CheckBlacklists(kClient), 1);
    EXPECT_EQ(m_server.QueriedNames().size(), 1u);

    m_app.m_settings.AddExclusion("10.20.30.40", 1);
    std::remove(m_work.File("Tarnwk.dbg").c_str());
    EXPECT_EQ(m_app.CheckBlacklists(kClient), 0);
    EXPECT_EQ(m_server.QueriedNames().size(), 1u);  // no query
    EXPECT_FALSE(DumpExists());                     // no dump line, though the dump is on
    EXPECT_EQ(Catches("bl.test"), 1);
    EXPECT_EQ(LoggedTexts().size(), 1u);
}

TEST_F(DnsblLookup, ASilentOrUnreachableServerIsAnErrorNotAListing) {
    CSilentUdpSocket silent;
    UseNameservers(silent.Nameserver());
    m_app.m_settings.AddDnsblServer("first.test", 1);
    auto pending = std::async(std::launch::async, [&] { return m_app.CheckBlacklists(kClient); });
    // Far above the 3 s bound, far below c-ares' default 75 s.
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(pending.get(), 0);
    ASSERT_EQ(DumpLines().size(), 3u);
    EXPECT_THAT(DumpLines()[2], QueryLine("first\\.test", "Err: 12"));  // ARES_ETIMEOUT

    // No DNS server reachable at all: no client is rejected.
    std::remove(m_work.File("Tarnwk.dbg").c_str());
    UseNameservers("127.0.0.1:" + std::to_string(FreeUdpPort()));
    m_app.m_settings.AddDnsblServer("second.test", 1);
    EXPECT_EQ(m_app.CheckBlacklists(kClient), 0);
    const Lines dump = DumpLines();
    ASSERT_EQ(dump.size(), 4u);
    EXPECT_THAT(dump[2], QueryLine("second\\.test", "Err: [0-9]+"));
    EXPECT_THAT(dump[3], QueryLine("first\\.test", "Err: [0-9]+"));
    EXPECT_EQ(Catches("first.test") + Catches("second.test"), 0);
    EXPECT_EQ(LoggedTexts(), Lines{});
}

// The lists are not locked while a query runs, and a reload during the query leaves the new
// entries' catch counts alone (the old entries are gone: raising theirs would touch freed
// memory, which the sanitizer build catches).
TEST_F(DnsblLookup, ListsStayFreeDuringAQueryAndSurviveAReload) {
    m_server.AddZone("bl.test", {"10.20.30.40"});
    ASSERT_TRUE(m_server.Start()) << m_server.Output();
    // The silent server is asked first; after its 1 s try, rbldnsd answers.
    CSilentUdpSocket silent;
    UseNameservers(silent.Nameserver() + "," + m_server.Nameserver());
    m_app.m_settings.AddDnsblServer("bl.test", 1);

    auto pending = std::async(std::launch::async, [&] { return m_app.CheckBlacklists(kClient); });
    ASSERT_TRUE(silent.WaitForDatagram(10000));  // the query is in flight now
    {
        std::unique_lock<std::recursive_mutex> lock(m_app.m_settings.m_lock, std::try_to_lock);
        ASSERT_TRUE(lock.owns_lock());
        m_app.m_settings.ClearDnsblServers();
        m_app.m_settings.AddDnsblServer("bl.test", 1);
    }
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(pending.get(), 1);
    EXPECT_EQ(m_server.QueriedNames(), Lines{"40.30.20.10.bl.test"});
    EXPECT_EQ(Catches("bl.test"), 0);
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
    CDnsblLookup lookup(settings, log);
    int nVerdict = -1;
    lookup.Start(kClient, [&](int nListings) { nVerdict = nListings; });
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
                                                               const std::array<uint8_t, 4>& a) {
    CScreeningOutcome outcomes[2];
    for (int nConcurrent = 0; nConcurrent < 2; ++nConcurrent) {
        CScreeningOutcome& outcome = outcomes[nConcurrent];
        std::vector<int> before;
        for (CDnsblServer* p = settings.DNSBL_Servers; p; p = p->m_pNext)
            before.push_back(p->m_nCatches);
        CRecordingScreeningLog log;
        CDnsblLookup lookup(settings, log);
        if (nConcurrent == 0) {
            outcome.nVerdict = lookup.Check(a);
        } else {
            CEventLoop loop;
            CLoopResolver resolver;
            auto pPending =
                lookup.StartConcurrent(a, resolver, [&](int n) { outcome.nVerdict = n; });
            EXPECT_TRUE(PumpUntil(loop, [&] { return outcome.nVerdict >= 0; }));
        }
        outcome.logged = log.m_logged;
        for (const std::string& strLine : log.m_dump)
            outcome.dump.push_back(std::regex_replace(strLine, std::regex("[0-9]+ ms"), "ms"));
        size_t i = 0;
        for (CDnsblServer* p = settings.DNSBL_Servers; p; p = p->m_pNext, ++i)
            outcome.catches.push_back(p->m_nCatches - before[i]);
    }
    return {outcomes[0], outcomes[1]};
}
}  // namespace

// The same cases give the same verdicts, lines, trace and catches, whichever way they are asked.
TEST(ConcurrentScreening, VerdictsLinesAndCatchesEqualTheBlockingOnes) {
    CRbldnsd server;
    server.AddZone("one.test", {"10.20.30.40"});
    server.AddZone("four.test", {"10.20.30.40", "10.9.9.9"}, "127.0.0.4");
    server.AddZone("clean.test", {});
    server.AddZone("off.test", {"10.20.30.40"});
    server.AddZone("two.test", {"10.20.30.40", "10.9.9.9"});
    ASSERT_TRUE(server.Start()) << server.Output();
    CSilentUdpSocket silent;
    Settings settings;
    for (const char* pZone : {"two.test", "off.test", "clean.test", "four.test", "one.test"})
        settings.AddDnsblServer(pZone, std::string(pZone) != "off.test");
    settings.AddExclusion("10.1.1.1", 1);
    struct CCase {
        std::array<std::uint8_t, 4> address;
        std::string strServers;
        int nVerdict;
    } cases[] = {{kClient, server.Nameserver(), 2},  // two listings, an answer, a miss
                 {{10, 9, 9, 9}, server.Nameserver(), 1},
                 {{10, 7, 7, 7}, server.Nameserver(), 0},  // listed nowhere
                 {{10, 1, 1, 1}, server.Nameserver(), 0},  // excluded: no line at all
                 {kClient, silent.Nameserver(), 0}};       // every zone silent: Err: 12
    for (const CCase& c : cases) {
        UseNameservers(c.strServers);
        if (c.strServers == silent.Nameserver()) {  // one zone, the bound is 3 s a query
            for (CDnsblServer* p = settings.DNSBL_Servers; p; p = p->m_pNext)
                p->m_bActive = p->m_strName == "one.test";
        }
        const auto [blocking, concurrent] = ScreenBothWays(settings, c.address);
        EXPECT_EQ(blocking.nVerdict, c.nVerdict) << c.strServers;
        EXPECT_EQ(concurrent, blocking) << c.strServers;
        if (c.strServers == silent.Nameserver()) {
            EXPECT_EQ(concurrent.dump.back(), "\t one.test: \t\t ms\tErr: 12");
        }
    }
    unsetenv("TARNWICK_NAMESERVERS");
}

// A reload while the answers are out: the verdict stands, the new entries' catches stay at 0.
TEST(ConcurrentScreening, AReloadMidLookupRaisesNoCatchOnTheNewList) {
    CRbldnsd server;
    server.AddZone("bl.test", {"10.20.30.40"});
    ASSERT_TRUE(server.Start()) << server.Output();
    CSilentUdpSocket silent;
    UseNameservers(silent.Nameserver() + "," + server.Nameserver());
    Settings settings;
    settings.AddDnsblServer("bl.test", 1);
    CRecordingScreeningLog log;
    CDnsblLookup lookup(settings, log);
    CEventLoop loop;
    CLoopResolver resolver;
    int nVerdict = -1;
    auto pPending = lookup.StartConcurrent(kClient, resolver, [&](int n) { nVerdict = n; });
    ASSERT_TRUE(silent.WaitForDatagram(10000));
    {
        std::lock_guard<std::recursive_mutex> guard(settings.m_lock);
        settings.ClearDnsblServers();
        settings.AddDnsblServer("bl.test", 1);
    }
    ASSERT_TRUE(PumpUntil(loop, [&] { return nVerdict >= 0; }));
    EXPECT_EQ(nVerdict, 1);
    EXPECT_EQ(settings.DNSBL_Servers->m_nCatches, 0);
    EXPECT_EQ(log.m_logged, Lines{"10.20.30.40 Found in bl.test"});
    unsetenv("TARNWICK_NAMESERVERS");
}
