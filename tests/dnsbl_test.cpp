// CheckBlacklists and the debug dump against a real DNSBL server (rbldnsd on a loopback port).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include "host/GatewayApp.h"
#include "platform/System.h"
#include "tests/support/Process.h"
#include "tests/support/Rbldnsd.h"
#include "tests/support/SilentUdpSocket.h"
#include "tests/support/TempDir.h"

namespace {
using Address = std::array<std::uint8_t, 4>;
using Lines = std::vector<std::string>;
constexpr Address kClient{10, 20, 30, 40};

Lines SplitLines(const std::string& strText) {
    Lines lines;
    std::istringstream in(strText);
    for (std::string strLine; std::getline(in, strLine);) lines.push_back(strLine);
    return lines;
}

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

    void StartServer() {
        ASSERT_TRUE(m_server.Start()) << m_server.Output();
        UseNameservers(m_server.Nameserver());
    }
    static void UseNameservers(const std::string& strServers) {
        setenv("TARNWICK_NAMESERVERS", strServers.c_str(), 1);
    }
    CDnsblServer& Server(const std::string& strZone) {
        std::lock_guard<std::recursive_mutex> guard(m_app.m_settings.m_lock);
        for (CDnsblServer* p = m_app.m_settings.DNSBL_Servers; p; p = p->m_pNext)
            if (p->m_strName == strZone) return *p;
        throw std::runtime_error("no server " + strZone);
    }
    // The activity log's texts, without their stamps.
    Lines LoggedTexts() const {
        Lines texts;
        for (std::string strLine : SplitLines(ReadFileBytes(m_work.File("activity.log")))) {
            if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
            const size_t nColon = strLine.find(" : ");
            texts.push_back(nColon == std::string::npos ? strLine : strLine.substr(nColon + 3));
        }
        return texts;
    }
    Lines DumpLines() const { return SplitLines(ReadFileBytes(m_work.File("Tarnwk.dbg"))); }
    bool DumpExists() const { return access(m_work.File("Tarnwk.dbg").c_str(), F_OK) == 0; }

    CTempDir m_work;
    std::string m_strOldDirectory;
    CGatewayApp m_app;
    CRbldnsd m_server;
};

// Matches one query's dump line: tab, blank, zone, colon, blank, two tabs, blank, ms, verdict.
::testing::Matcher<std::string> QueryLine(const std::string& strZone,
                                          const std::string& strVerdict) {
    return ::testing::MatchesRegex("\t " + strZone + ": \t\t [0-9]+ ms\t" + strVerdict);
}
}  // namespace

TEST_F(DnsblLookup, ListingIsCountedLoggedAndDumped) {
    m_server.AddZone("bl.test", {"10.20.30.40"});
    StartServer();
    m_app.m_settings.AddDnsblServer("bl.test", 1);

    EXPECT_EQ(m_app.CheckBlacklists(kClient), 1);
    EXPECT_EQ(m_server.QueriedNames(), Lines{"40.30.20.10.bl.test"});
    EXPECT_EQ(Server("bl.test").m_nCatches, 1);
    EXPECT_EQ(LoggedTexts(), Lines{"10.20.30.40 Found in bl.test"});
    const Lines dump = DumpLines();
    ASSERT_EQ(dump.size(), 3u);
    EXPECT_EQ(dump[0], "-------");
    EXPECT_EQ(dump[1], "Checking 10.20.30.40");
    EXPECT_THAT(dump[2], QueryLine("bl\\.test", "Listed 200007f"));

    // A second client adds to the same catch count and appends to the dump.
    EXPECT_EQ(m_app.CheckBlacklists(kClient), 1);
    EXPECT_EQ(Server("bl.test").m_nCatches, 2);
    EXPECT_EQ(DumpLines().size(), 6u);
}

TEST_F(DnsblLookup, OtherAnswersRaiseCatchesOnlyAndUnknownNamesAreNotListed) {
    m_server.AddZone("other.test", {"10.20.30.40"}, "127.0.0.4");
    m_server.AddZone("empty.test", {});
    StartServer();
    m_app.m_settings.AddDnsblServer("other.test", 1);
    m_app.m_settings.AddDnsblServer("empty.test", 1);

    EXPECT_EQ(m_app.CheckBlacklists(kClient), 0);
    EXPECT_EQ(Server("other.test").m_nCatches, 1);
    EXPECT_EQ(Server("empty.test").m_nCatches, 0);
    EXPECT_EQ(LoggedTexts(), Lines{});
    const Lines dump = DumpLines();
    ASSERT_EQ(dump.size(), 4u);
    EXPECT_THAT(dump[2], QueryLine("empty\\.test", "Not Listed"));
    EXPECT_THAT(dump[3], QueryLine("other\\.test", "Listed 400007f"));
}

TEST_F(DnsblLookup, EveryActiveServerIsAskedInListOrder) {
    m_server.AddZone("first.test", {"10.20.30.40"});
    m_server.AddZone("second.test", {});
    m_server.AddZone("third.test", {"10.20.30.40"});
    m_server.AddZone("off.test", {"10.20.30.40"});
    StartServer();
    m_app.m_settings.AddDnsblServer("first.test", 1);
    m_app.m_settings.AddDnsblServer("off.test", 0);
    m_app.m_settings.AddDnsblServer("second.test", 1);
    m_app.m_settings.AddDnsblServer("third.test", 1);

    EXPECT_EQ(m_app.CheckBlacklists(kClient), 2);
    // Newest first, no early stop after the first listing, the inactive one never asked.
    EXPECT_EQ(m_server.QueriedNames(), (Lines{"40.30.20.10.third.test", "40.30.20.10.second.test",
                                              "40.30.20.10.first.test"}));
    EXPECT_EQ(LoggedTexts(),
              (Lines{"10.20.30.40 Found in third.test", "10.20.30.40 Found in first.test"}));
    EXPECT_EQ(Server("third.test").m_nCatches, 1);
    EXPECT_EQ(Server("second.test").m_nCatches, 0);
    EXPECT_EQ(Server("first.test").m_nCatches, 1);
    EXPECT_EQ(Server("off.test").m_nCatches, 0);
    const Lines dump = DumpLines();
    ASSERT_EQ(dump.size(), 5u);
    EXPECT_THAT(dump[2], QueryLine("third\\.test", "Listed 200007f"));
    EXPECT_THAT(dump[3], QueryLine("second\\.test", "Not Listed"));
    EXPECT_THAT(dump[4], QueryLine("first\\.test", "Listed 200007f"));
}

TEST_F(DnsblLookup, RemovedServerWithEmptyNameIsAskedUnderTheRoot) {
    // The reversed address followed by a single dot: 40.30.20.10, answered by a zone "10".
    m_server.AddNames("10", {"40.30.20"});
    StartServer();
    m_app.m_settings.AddDnsblServer("removed.test", 1);
    Server("removed.test").m_strName.clear();  // what the configuration dialog's removal does

    EXPECT_EQ(m_app.CheckBlacklists(kClient), 1);
    EXPECT_EQ(m_server.QueriedNames(), Lines{"40.30.20.10"});
    EXPECT_EQ(LoggedTexts(), Lines{"10.20.30.40 Found in "});
    ASSERT_EQ(DumpLines().size(), 3u);
    EXPECT_THAT(DumpLines()[2], QueryLine("", "Listed 200007f"));
}

TEST_F(DnsblLookup, OnlyActiveExclusionsWithTheExactTextExempt) {
    m_server.AddZone("bl.test", {"10.20.30.40"});
    StartServer();
    m_app.m_settings.AddDnsblServer("bl.test", 1);
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
    EXPECT_EQ(Server("bl.test").m_nCatches, 1);
    EXPECT_EQ(LoggedTexts().size(), 1u);
}

TEST_F(DnsblLookup, DumpOffWritesNoFile) {
    m_server.AddZone("bl.test", {"10.20.30.40"});
    StartServer();
    m_app.m_settings.AddDnsblServer("bl.test", 1);
    m_app.m_bDebugDump = 0;

    EXPECT_EQ(m_app.CheckBlacklists(kClient), 1);
    EXPECT_FALSE(DumpExists());
    EXPECT_EQ(LoggedTexts(), Lines{"10.20.30.40 Found in bl.test"});
}

TEST_F(DnsblLookup, NoActiveServerYieldsNothing) {
    m_server.AddZone("bl.test", {"10.20.30.40"});
    StartServer();
    EXPECT_EQ(m_app.CheckBlacklists(kClient), 0);
    m_app.m_settings.AddDnsblServer("bl.test", 0);
    EXPECT_EQ(m_app.CheckBlacklists(kClient), 0);
    EXPECT_EQ(m_server.QueriedNames(), Lines{});
    EXPECT_EQ(DumpLines(),
              (Lines{"-------", "Checking 10.20.30.40", "-------", "Checking 10.20.30.40"}));
}

TEST_F(DnsblLookup, DumpAppendsToAnExistingFile) {
    WriteFileBytes(m_work.File("Tarnwk.dbg"), "earlier\n");
    m_app.WriteDebugDump("one");
    m_app.WriteDebugDump("two");
    EXPECT_EQ(ReadFileBytes(m_work.File("Tarnwk.dbg")), "earlier\none\ntwo\n");
}

TEST_F(DnsblLookup, SilentServerIsAnErrorNotAListing) {
    CSilentUdpSocket silent;
    UseNameservers(silent.Nameserver());
    m_app.m_settings.AddDnsblServer("bl.test", 1);

    auto pending = std::async(std::launch::async, [&] { return m_app.CheckBlacklists(kClient); });
    // Far above the 3 s bound, far below c-ares' default 75 s.
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(pending.get(), 0);
    EXPECT_EQ(Server("bl.test").m_nCatches, 0);
    EXPECT_EQ(LoggedTexts(), Lines{});
    ASSERT_EQ(DumpLines().size(), 3u);
    EXPECT_THAT(DumpLines()[2], QueryLine("bl\\.test", "Err: 12"));  // ARES_ETIMEOUT
    std::printf("dump line: %s\n", DumpLines()[2].c_str());
}

TEST_F(DnsblLookup, NoReachableServerRejectsNoClient) {
    UseNameservers("127.0.0.1:" + std::to_string(FreeUdpPort()));
    m_app.m_settings.AddDnsblServer("first.test", 1);
    m_app.m_settings.AddDnsblServer("second.test", 1);

    EXPECT_EQ(m_app.CheckBlacklists(kClient), 0);
    const Lines dump = DumpLines();
    ASSERT_EQ(dump.size(), 4u);
    EXPECT_THAT(dump[2], QueryLine("second\\.test", "Err: [0-9]+"));
    EXPECT_THAT(dump[3], QueryLine("first\\.test", "Err: [0-9]+"));
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
    EXPECT_EQ(Server("bl.test").m_nCatches, 0);
    EXPECT_EQ(LoggedTexts(), Lines{"10.20.30.40 Found in bl.test"});
}
