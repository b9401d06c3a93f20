// CScreeningMetrics: what screening has done since the process started, for the metrics
// endpoint: DNSBL answers by outcome, answers taken from the answer cache, listings by zone, and
// how long each client's screening took (a histogram in seconds); and the clients the defences
// that need no list turned away, by outcome (talked first, over a per-client limit, deferred
// while the lists could not answer).
//
// Owned by the screening (CDnsblLookup) and raised where it decides, on the listener thread;
// Snapshot may be taken on any thread. The counters are atomics; the zone table is guarded by
// its own mutex, held only to find or add one zone's count. A zone keeps its count across
// reloads and removals, so that no counter ever goes back. Nothing here fails.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

class CScreeningMetrics {
public:
    // How a DNSBL answered one query: listed (by the zone's filter, or 127.0.0.2), not listed (no
    // such name, or an answer that lists nobody), a failure (time-out, a server's refusal, a
    // broken answer), or the list refusing the querier with a 127.255.255.x answer (a zone with
    // a filter or weight only).
    enum Outcome { kListed, kNotListed, kError, kRefused, kOutcomes };
    enum ClientOutcome { kTalkedFirst, kLimited, kDeferred, kClientOutcomes };
    // Upper bounds of the histogram's buckets, in seconds; a last bucket takes everything.
    static constexpr std::array<double, 12> kBucketBounds{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                          0.1,   0.25,   0.5,   1,    2.5,   5};
    static constexpr size_t kBuckets = kBucketBounds.size() + 1;

    struct CSnapshot {
        std::array<std::uint64_t, kOutcomes> queries{};
        std::map<std::string, std::uint64_t> listings;  // by zone
        std::array<std::uint64_t, kBuckets> buckets{};  // per bucket, not cumulative
        std::uint64_t nScreenings = 0;
        double dSecondsTotal = 0;
        std::uint64_t nCacheHits = 0;
        std::array<std::uint64_t, kClientOutcomes> clients{};
    };

    void CountQuery(Outcome outcome) { m_queries[outcome].fetch_add(1, std::memory_order_relaxed); }
    void CountCacheHit() { m_nCacheHits.fetch_add(1, std::memory_order_relaxed); }
    void CountClient(ClientOutcome outcome) {
        m_clients[outcome].fetch_add(1, std::memory_order_relaxed);
    }
    void CountListing(const std::string& strZone);
    void CountScreening(std::chrono::steady_clock::duration elapsed);
    CSnapshot Snapshot() const;

private:
    std::array<std::atomic<std::uint64_t>, kOutcomes> m_queries{};
    std::array<std::atomic<std::uint64_t>, kBuckets> m_buckets{};
    std::atomic<std::uint64_t> m_nScreenings{0};
    std::atomic<std::uint64_t> m_nNanosecondsTotal{0};
    std::atomic<std::uint64_t> m_nCacheHits{0};
    std::array<std::atomic<std::uint64_t>, kClientOutcomes> m_clients{};
    mutable std::mutex m_zoneLock;
    std::map<std::string, std::uint64_t> m_listings;
};
