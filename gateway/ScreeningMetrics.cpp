#include "gateway/ScreeningMetrics.h"

#include <algorithm>

void CScreeningMetrics::CountListing(const std::string& strZone) {
    std::lock_guard<std::mutex> guard(m_zoneLock);
    ++m_listings[strZone];
}

void CScreeningMetrics::CountScreening(std::chrono::steady_clock::duration elapsed) {
    const double dSeconds = std::chrono::duration<double>(elapsed).count();
    const auto nBucket = std::lower_bound(kBucketBounds.begin(), kBucketBounds.end(), dSeconds) -
                         kBucketBounds.begin();
    m_buckets[nBucket].fetch_add(1, std::memory_order_relaxed);
    const auto nNanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
    m_nNanosecondsTotal.fetch_add(
        static_cast<std::uint64_t>(std::max<std::int64_t>(nNanoseconds, 0)),
        std::memory_order_relaxed);
    m_nScreenings.fetch_add(1, std::memory_order_relaxed);
}

CScreeningMetrics::CSnapshot CScreeningMetrics::Snapshot() const {
    CSnapshot snapshot;
    for (size_t i = 0; i < kOutcomes; ++i) snapshot.queries[i] = m_queries[i].load();
    for (size_t i = 0; i < kBuckets; ++i) snapshot.buckets[i] = m_buckets[i].load();
    snapshot.nScreenings = m_nScreenings.load();
    snapshot.dSecondsTotal = static_cast<double>(m_nNanosecondsTotal.load()) / 1e9;
    snapshot.nCacheHits = m_nCacheHits.load();
    for (size_t i = 0; i < kClientOutcomes; ++i) snapshot.clients[i] = m_clients[i].load();
    std::lock_guard<std::mutex> guard(m_zoneLock);
    snapshot.listings = m_listings;
    return snapshot;
}
