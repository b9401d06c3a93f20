// DnsQueryA against a real DNSBL server (rbldnsd on a loopback port), a silent server, and no
// server at all.
#include <ares.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <future>
#include <thread>

#include "platform/DnsQuery.h"
#include "tests/support/Process.h"
#include "tests/support/Rbldnsd.h"
#include "tests/support/SilentUdpSocket.h"

namespace {
using Address = std::array<std::uint8_t, 4>;

struct CResult {
    int nStatus;
    Address address;
    long long nElapsedMs;
};

CResult Query(const std::string& strName) {
    CResult result{-1, {9, 9, 9, 9}, 0};
    const auto t0 = std::chrono::steady_clock::now();
    result.nStatus = DnsQueryA(strName, result.address);
    result.nElapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    return result;
}

// Runs the query on its own thread and waits far longer than the 3 s bound but far less than
// c-ares' default 75 s, so an unbounded query fails the test instead of hanging it.
CResult QueryWithin(const std::string& strName, int nDeadlineMs) {
    auto pending = std::async(std::launch::async, Query, strName);
    if (pending.wait_for(std::chrono::milliseconds(nDeadlineMs)) != std::future_status::ready) {
        ADD_FAILURE() << "query of " << strName << " still running after " << nDeadlineMs << " ms";
        std::quick_exit(1);  // the query thread cannot be abandoned safely
    }
    return pending.get();
}

void UseNameservers(const std::string& strServers) {
    setenv("TARNWICK_NAMESERVERS", strServers.c_str(), 1);
}
}  // namespace

TEST(DnsQuery, TellsListingsNotFoundAndEmptyAnswersApart) {
    CRbldnsd server;
    server.AddZone("bl.test", {"10.20.30.40"});
    server.AddZone("bl.test", {"10.0.0.4"}, "127.0.0.4");
    ASSERT_TRUE(server.Start()) << server.Output();
    UseNameservers(server.Nameserver());

    const CResult listed = Query("40.30.20.10.bl.test");
    EXPECT_EQ(listed.nStatus, kDnsSuccess);
    EXPECT_EQ(listed.address, (Address{127, 0, 0, 2}));

    const CResult other = Query("4.0.0.10.bl.test");
    EXPECT_EQ(other.nStatus, kDnsSuccess);
    EXPECT_EQ(other.address, (Address{127, 0, 0, 4}));

    // NXDOMAIN: the name is asked once, as given, and not retried under search domains.
    const CResult missing = Query("1.1.1.10.bl.test");
    EXPECT_EQ(missing.nStatus, kDnsNameNotFound);
    EXPECT_EQ(missing.address, (Address{9, 9, 9, 9}));

    // The zone's own name exists but has no A record: a failure, not an answer.
    const CResult empty = Query("bl.test");
    EXPECT_EQ(empty.nStatus, ARES_ENODATA);
    EXPECT_EQ(empty.address, (Address{9, 9, 9, 9}));

    EXPECT_EQ(server.QueriedNames(),
              (std::vector<std::string>{"40.30.20.10.bl.test", "4.0.0.10.bl.test",
                                        "1.1.1.10.bl.test", "bl.test"}));
}

TEST(DnsQuery, SilentServerTimesOutWithinTheBound) {
    CSilentUdpSocket silent;
    ASSERT_NE(silent.Port(), 0);
    UseNameservers(silent.Nameserver());
    const CResult result = QueryWithin("40.30.20.10.bl.test", 20000);
    EXPECT_EQ(result.nStatus, ARES_ETIMEOUT);
    EXPECT_TRUE(silent.WaitForDatagram(0));
    std::printf("silent server: status %d after %lld ms\n", result.nStatus, result.nElapsedMs);
}

TEST(DnsQuery, NoServerListeningIsAFailure) {
    UseNameservers("127.0.0.1:" + std::to_string(FreeUdpPort()));
    const CResult result = QueryWithin("40.30.20.10.bl.test", 20000);
    EXPECT_NE(result.nStatus, kDnsSuccess);
    EXPECT_NE(result.nStatus, kDnsNameNotFound);
    std::printf("no server: status %d after %lld ms\n", result.nStatus, result.nElapsedMs);
}

TEST(DnsQuery, FollowsChangesOfTheNameserverSetting) {
    CRbldnsd server;
    server.AddZone("bl.test", {"10.20.30.40"});
    ASSERT_TRUE(server.Start()) << server.Output();

    // A list c-ares cannot read fails every query instead of falling back to other servers.
    UseNameservers("not a server list");
    const CResult bad = Query("40.30.20.10.bl.test");
    EXPECT_NE(bad.nStatus, kDnsSuccess);
    EXPECT_NE(bad.nStatus, kDnsNameNotFound);

    // The same thread's channel is made again for the new setting.
    UseNameservers(server.Nameserver());
    EXPECT_EQ(Query("40.30.20.10.bl.test").nStatus, kDnsSuccess);
}

TEST(DnsQuery, ThreadsQueryAtTheSameTimeOnTheirOwnChannels) {
    CRbldnsd server;
    server.AddZone("bl.test", {"10.20.30.40"});
    ASSERT_TRUE(server.Start()) << server.Output();
    UseNameservers(server.Nameserver());

    constexpr int kThreads = 4;
    constexpr int kQueries = 25;
    std::vector<std::future<int>> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.push_back(std::async(std::launch::async, [t] {
            int nRight = 0;
            for (int i = 0; i < kQueries; ++i) {
                const bool bListed = (i + t) % 2 == 0;
                const CResult result = Query(bListed ? "40.30.20.10.bl.test" : "1.2.3.4.bl.test");
                nRight += bListed ? result.nStatus == kDnsSuccess &&
                                        result.address == Address{127, 0, 0, 2}
                                  : result.nStatus == kDnsNameNotFound;
            }
            return nRight;
        }));
    }
    for (auto& worker : workers)
        EXPECT_EQ(worker.get(), kQueries);
}
