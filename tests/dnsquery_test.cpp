// DnsQueryA against a real DNSBL server (rbldnsd on a loopback port). The silent server and
// the unreachable one are exercised through the lookup in dnsbl_test.cpp.
#include <ares.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <thread>
#include <tuple>

#include "platform/DnsAnswer.h"
#include "platform/DnsQuery.h"
#include "tests/support/Rbldnsd.h"
#include "tests/support/TempDir.h"

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

// Answers one query on fd with nRecords A records (127.0.0.2 first, then 127.0.0.3) in one
// datagram however long, as a server that ignores the 512-byte limit of UDP does.
void AnswerLong(int fd, int nRecords) {
    char query[512];
    sockaddr_in from{};
    socklen_t nFrom = sizeof from;
    const ssize_t n =
        recvfrom(fd, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from), &nFrom);
    if (n < 12) return;
    std::string strAnswer(query, static_cast<size_t>(n));  // its id and question
    strAnswer.replace(2, 6,
                      std::string("\x81\x80\0\x01", 4) + static_cast<char>(nRecords >> 8) +
                          static_cast<char>(nRecords));
    for (int i = 0; i < nRecords; ++i)
        strAnswer += std::string("\xc0\x0c\0\x01\0\x01\0\0\x01\x2c\0\x04\x7f\0\0", 15) +
                     static_cast<char>(i == 0 ? 2 : 3);
    sendto(fd, strAnswer.data(), strAnswer.size(), 0, reinterpret_cast<sockaddr*>(&from), nFrom);
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

// An answer too long for UDP arrives cut at 512 bytes, its last record broken off: the records it
// holds whole still count, so the listing is seen.
TEST(DnsQueryLongAnswer, CutAnswerGivesItsFirstAddress) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nSize = sizeof address;
    const timeval wait{5, 0};  // the server gives up if no query comes
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), nSize), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &nSize);
    std::thread server(AnswerLong, fd, 50);
    UseNameservers("127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
    EXPECT_EQ(Query("40.30.20.10.bl.test"), (std::pair<int, Address>{kDnsSuccess, {127, 0, 0, 2}}));
    server.join();
    close(fd);
}

// The answer rules where this code, not c-ares, decides, on answers of the answer fuzzer's corpus.
TEST(DnsAnswer, CutAnswersKeepTheirWholeRecordsAndOnlyARecordsList) {
    const std::vector<std::tuple<const char*, int, int, Address>> cases = {
        // file, length read (0: all), status, address
        {"fifty-records-cut-at-512.bin", 0, kDnsSuccess, {127, 0, 0, 2}},
        {"cname-then-a.bin", 0, kDnsSuccess, {127, 0, 0, 4}},
        {"listed.bin", 40, ARES_ENODATA, kUnwritten},  // cut inside its one record
        {"cname-only.bin", 0, ARES_ENODATA, kUnwritten},
        {"pointer-loop.bin", 0, ARES_EBADRESP, kUnwritten}};  // broken, not cut: c-ares judges
    for (const auto& [pName, nLength, nStatus, expected] : cases) {
        const std::string strAnswer = ReadFileBytes(
            std::string(TARNWICK_SOURCE_DIR "/tests/fuzz/corpus/dns_answer/") + pName);
        const int nRead = nLength ? nLength : static_cast<int>(strAnswer.size());
        const auto* pBytes = reinterpret_cast<const unsigned char*>(strAnswer.data());
        Address address = kUnwritten;
        EXPECT_EQ(DnsAnswerA(kDnsSuccess, pBytes, nRead, address), nStatus) << pName;
        EXPECT_EQ(DnsAnswerA(ARES_ESERVFAIL, pBytes, nRead, address), ARES_ESERVFAIL);
        EXPECT_EQ(address, expected) << pName;
    }
}

// Every A record with its time to live, and for a name that does not exist the SOA's negative
// time to live: the smaller of the record's own and its MINIMUM field, none without an SOA.
TEST(DnsAnswer, EveryRecordWithItsTtlAndTheNegativeTtlOfTheSoa) {
    const auto read = [](const char* pName, int nStatus, std::uint32_t nSoaTtl = 0,
                         std::uint32_t nMinimum = 0) {
        std::string strAnswer = ReadFileBytes(
            std::string(TARNWICK_SOURCE_DIR "/tests/fuzz/corpus/dns_answer/") + pName);
        if (nSoaTtl != 0) {
            // nxdomain-soa.bin ends with its SOA record: TTL, data length, 10 bytes of names,
            // then the five numbers, MINIMUM last.
            const size_t nTtlAt = strAnswer.size() - 20 - 10 - 2 - 4;
            for (int i = 0; i < 4; ++i) {
                strAnswer[nTtlAt + i] = static_cast<char>(nSoaTtl >> (24 - 8 * i));
                strAnswer[strAnswer.size() - 4 + i] = static_cast<char>(nMinimum >> (24 - 8 * i));
            }
        }
        return ReadDnsAnswer(nStatus, reinterpret_cast<const unsigned char*>(strAnswer.data()),
                             static_cast<int>(strAnswer.size()));
    };
    const CDnsAnswer three = read("three-records-ttl.bin", kDnsSuccess);
    EXPECT_EQ(three.records,
              (std::vector<CDnsRecordA>{
                  {{127, 0, 0, 20}, 2100}, {{127, 0, 0, 4}, 2100}, {{127, 0, 0, 21}, 2100}}));
    EXPECT_EQ(read("fifty-records-cut-at-512.bin", kDnsSuccess).records.size(), 29u);
    EXPECT_EQ(read("nxdomain-soa.bin", kDnsNameNotFound).negativeTtl, 4u);
    EXPECT_EQ(read("nxdomain-soa.bin", kDnsNameNotFound, 100, 30).negativeTtl, 30u);
    EXPECT_EQ(read("nxdomain-soa.bin", kDnsNameNotFound, 20, 3600).negativeTtl, 20u);
    EXPECT_EQ(read("nxdomain-soa.bin", kDnsNameNotFound, 0x80000000, 60).negativeTtl, 0u);
    EXPECT_EQ(read("nxdomain.bin", kDnsNameNotFound), (CDnsAnswer{kDnsNameNotFound, {}, {}}));
    EXPECT_EQ(read("nxdomain-soa.bin", ARES_ESERVFAIL), (CDnsAnswer{ARES_ESERVFAIL, {}, {}}));
}
