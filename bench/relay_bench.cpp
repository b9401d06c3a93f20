// Relay benchmark: prints, measured side by side in one run,
//   - the throughput (MB/s) of one large transfer through the gateway and straight to the
//     same discarding sink;
//   - the connections per second the gateway accepts, screens (against 0 and then 3 zones on a
//     local rbldnsd, none of which lists the client) and relays to mail_sink (ours), each
//     connection a greeting, QUIT and its reply.
// Usage: relay_bench [megabytes, default 512] [connections, default 400]
// The gateway's listener thread runs in this process on a free loopback port.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/GatewayHarness.h"
#include "tests/support/MailServer.h"
#include "tests/support/RawPeer.h"
#include "tests/support/Rbldnsd.h"

namespace {
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Sends nBytes to 127.0.0.1:nPort and returns the seconds until the sink has read them all.
double TimeTransfer(int nPort, size_t nBytes, const std::atomic<size_t>& nSunk) {
    const size_t nBefore = nSunk;
    CRawClient client;
    if (!client.Connect(nPort)) return -1;
    const std::string strBlock(1 << 20, 'x');
    const Clock::time_point start = Clock::now();
    for (size_t nSent = 0; nSent < nBytes; nSent += strBlock.size())
        if (!client.SendAll(strBlock)) return -1;
    const Clock::time_point deadline = start + std::chrono::minutes(5);
    while (nSunk - nBefore < nBytes)
        if (Clock::now() > deadline) return -1;
    const double dSeconds = SecondsSince(start);
    client.Close();
    return dSeconds;
}

void BenchThroughput(size_t nMegabytes) {
    std::atomic<size_t> nSunk{0};
    CRawServer sink;
    sink.Start([&](int fd) {
        std::vector<char> buffer(1 << 16);
        for (ssize_t n; (n = recv(fd, buffer.data(), buffer.size(), 0)) > 0;) nSunk += size_t(n);
    });
    CGatewayHarness gateway;
    if (!gateway.Start(sink.Port())) {
        std::printf("gateway did not start\n");
        return;
    }
    const size_t nBytes = nMegabytes << 20;
    const double dDirect = TimeTransfer(sink.Port(), nBytes, nSunk);
    const double dGateway = TimeTransfer(gateway.m_nPortIn, nBytes, nSunk);
    std::printf(
        "throughput, one %zu MB transfer: direct %.0f MB/s, through the gateway %.0f MB/s\n",
        nMegabytes, nMegabytes / dDirect, nMegabytes / dGateway);
    gateway.Stop();
    sink.Stop();
}

// One SMTP connection: greeting, QUIT, reply; false when any step fails.
bool OneSession(int nPort) {
    CRawClient client;
    return client.Connect(nPort, "127.0.0.50") && client.ReadUntilContains("\r\n", 10000) &&
           client.SendAll("QUIT\r\n") &&
           client.ReadUntil([](const std::string& s) { return s.find("221") != std::string::npos; },
                            10000);
}

// With nCacheSeconds, answers are kept that long at most: the zones' SOA lets a "not listed"
// answer be kept for 300 s.
void BenchConnections(int nConnections, int nZones, int nCacheSeconds, const CMailServer& sink) {
    CRbldnsd dnsbl;
    CGatewayHarness gateway;
    for (int i = 0; i < nZones; ++i) {
        const std::string strZone = "zone" + std::to_string(i) + ".bench.test";
        dnsbl.AddDataset(strZone,
                         "$SOA 300 ns.bench.test. admin.bench.test. 1 600 600 600 300\n"
                         "127.0.0.99\n");
        gateway.m_app.m_settings.AddDnsblServer(strZone, 1);
    }
    gateway.m_app.m_settings.DnsblCacheSeconds = nCacheSeconds;
    if (nZones > 0) {
        if (!dnsbl.Start()) {
            std::printf("rbldnsd did not start: %s\n", dnsbl.Output().c_str());
            return;
        }
        setenv("TARNWICK_NAMESERVERS", dnsbl.Nameserver().c_str(), 1);
    }
    if (!gateway.Start(sink.Port())) return;
    int nFailed = 0;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < nConnections; ++i)
        if (!OneSession(gateway.m_nPortIn)) ++nFailed;
    const double dSeconds = SecondsSince(start);
    std::printf(
        "connections screened against %d zone(s)%s and relayed to mail_sink: %.0f per second "
        "(%d connections, %d failed, %zu DNS queries)\n",
        nZones, nCacheSeconds > 0 ? ", answers kept" : "", nConnections / dSeconds, nConnections,
        nFailed, nZones > 0 ? dnsbl.QueriedNames().size() : 0);
    gateway.Stop();
    unsetenv("TARNWICK_NAMESERVERS");
}
}  // namespace

int main(int argc, char** argv) {
    const size_t nMegabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 512;
    const int nConnections = argc > 2 ? std::atoi(argv[2]) : 400;
    BenchThroughput(nMegabytes);
    CMailServer sink;
    if (!sink.StartSink()) {
        std::printf("mail_sink did not start: %s\n", sink.Output().c_str());
        return 1;
    }
    for (auto [nZones, nCacheSeconds] : {std::pair{0, 0}, {3, 0}, {3, 300}})
        BenchConnections(nConnections, nZones, nCacheSeconds, sink);
    return 0;
}
