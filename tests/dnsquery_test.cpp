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
constexpr Address kUnwritten{9, 9, 9, 9};

// The status and address of one query; the address starts as kUnwritten, to show whether the
// query wrote it.
std::pair<int, Address> Query(const std::string& strName) {
    Address address = kUnwritten;
    const int nStatus = DnsQueryA(strName, address);
    return {nStatus, address};
}

void UseNameservers(const std::string& strServers) {
    setenv("TARNWICK_NAMESERVERS", strServers.c_str(), 1);
}

// Serves bl.test: 10.20.30.40 listed with 127.0.0.2, 10.0.0.4 with 127.0.0.4.
class DnsQuery : public ::testing::Test {
protected:
    void SetUp() override {
        m_server.AddZone("bl.test", {"10.20.30.40"});
        m_server.AddZone("bl.test", {"10.0.0.4"}, "127.0.0.4");
        ASSERT_TRUE(m_server.Start()) << m_server.Output();
        UseNameservers(m_server.Nameserver());
    }
    CRbldnsd m_server;
};
}  // namespace

TEST_F(DnsQuery, TellsListingsNotFoundAndEmptyAnswersApart) {
    using Result = std::pair<int, Address>;
    EXPECT_EQ(Query("40.30.20.10.bl.test"), (Result{kDnsSuccess, {127, 0, 0, 2}}));
    EXPECT_EQ(Query("4.0.0.10.bl.test"), (Result{kDnsSuccess, {127, 0, 0, 4}}));
    // NXDOMAIN: the name is asked once, as given, and not retried under search domains.
    EXPECT_EQ(Query("1.1.1.10.bl.test"), (Result{kDnsNameNotFound, kUnwritten}));
    // The zone's own name exists but has no A record: a failure, not an answer.
    EXPECT_EQ(Query("bl.test"), (Result{ARES_ENODATA, kUnwritten}));
    EXPECT_EQ(m_server.QueriedNames(),
              (std::vector<std::string>{"40.30.20.10.bl.test", "4.0.0.10.bl.test",
                                        "1.1.1.10.bl.test", "bl.test"}));

    // A list c-ares cannot read fails every query instead of falling back to other servers;
    // the same thread's channel is made again when the setting changes back.
    UseNameservers("not a server list");
    const int nStatus = Query("40.30.20.10.bl.test").first;
    EXPECT_NE(nStatus, kDnsSuccess);
    EXPECT_NE(nStatus, kDnsNameNotFound);
    UseNameservers(m_server.Nameserver());
    EXPECT_EQ(Query("40.30.20.10.bl.test").first, kDnsSuccess);
}

TEST_F(DnsQuery, ThreadsQueryAtTheSameTimeOnTheirOwnChannels) {
    constexpr int kThreads = 4, kQueries = 25;
    std::vector<std::future<int>> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.push_back(std::async(std::launch::async, [t] {
            int nRight = 0;
            for (int i = 0; i < kQueries; ++i) {
                const bool bListed = (i + t) % 2 == 0;
                const auto result = Query(bListed ? "40.30.20.10.bl.test" : "1.2.3.4.bl.test");
                nRight += bListed ? result == std::pair(kDnsSuccess, Address{127, 0, 0, 2})
                                  : result.first == kDnsNameNotFound;
            }
            return nRight;
        }));
    }
    for (auto& worker : workers) EXPECT_EQ(worker.get(), kQueries);
}
