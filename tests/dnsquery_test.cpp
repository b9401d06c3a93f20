// DnsQueryA against a real DNSBL server (rbldnsd on a loopback port). The silent server and
// the unreachable one are exercised through the lookup in dnsbl_test.cpp.
#include <ares.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <future>

#include "platform/DnsQuery.h"
#include "tests/support/Rbldnsd.h"

namespace {
using Address = std::array<std::uint8_t, 4>;

struct CResult {
    int nStatus;
    Address address;
};

// The address starts as 9.9.9.9, to show whether the query wrote it.
CResult Query(const std::string& strName) {
    CResult result{-1, {9, 9, 9, 9}};
    result.nStatus = DnsQueryA(strName, result.address);
    return result;
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
    for (auto& worker : workers) EXPECT_EQ(worker.get(), kQueries);
}
