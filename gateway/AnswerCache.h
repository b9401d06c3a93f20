// CAnswerCache: the DNSBL answers kept between clients, by zone name and client address.
//
// An answer is kept for its own time to live: a listing or any other answer with A records for
// the smallest TTL of its records, a name that does not exist for the negative TTL of the SOA
// record it carried (none: not kept); never longer than the cache's limit (DnsblCacheSeconds;
// 0 at first: nothing is kept). Failures, time-outs and refusals (a record in 127.255.255.0/24
// or outside 127.0.0.0/8) are never kept. The cache holds at most its capacity of answers; when
// full, the oldest one put goes first. Expired answers are dropped when they are next asked for,
// or when their turn comes.
//
// The limit is the cache's own, not the caller's: an answer is often put long after its query
// started, under a policy that a reload has replaced since. Put reads the limit in force, and
// SetLimit drops every kept answer when it changes the limit, both under the cache's mutex, so
// no answer is ever kept longer than the limit in force, whenever its query started.
//
// Owned by the screening (CDnsblLookup); any thread may call, under one mutex held only for the
// map's work. Times are milliseconds of a monotonic clock, given by the caller. Nothing fails.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include "platform/DnsAnswer.h"
#include "settings/NetPrefix.h"

struct CAnswerKey {
    std::string strZone;  // the name asked under, without filter or weight
    CNetAddress address;
    bool operator==(const CAnswerKey&) const = default;
};

class CAnswerCache {
public:
    static constexpr size_t kDefaultCapacity = 100000;

    explicit CAnswerCache(size_t nCapacity = kDefaultCapacity) : m_nCapacity(nCapacity) {}

    // How long an answer may be kept, in seconds, with nLimitSeconds the most; 0: not at all.
    static std::uint32_t KeepSeconds(const CDnsAnswer& answer, std::int32_t nLimitSeconds);

    // The longest time answers are kept from now on, in seconds; a change drops every answer.
    void SetLimit(std::int32_t nLimitSeconds);
    // Keeps the answer (replacing one kept for the same key) when KeepSeconds allows under the
    // limit in force.
    void Put(const CAnswerKey& key, const CDnsAnswer& answer, long long nNowMs);
    // The answer kept for the key, unless it has expired.
    std::optional<CDnsAnswer> Get(const CAnswerKey& key, long long nNowMs);
    // Drops the answers of every zone not named in zones.
    void KeepZones(const std::set<std::string>& zones);
    // Drops the answers of the zone.
    void DropZone(const std::string& strZone);
    size_t Size() const;

private:
    struct CKeyHash {
        size_t operator()(const CAnswerKey& key) const;
    };
    struct CEntry {
        CDnsAnswer answer;
        long long nExpiresMs;
        std::list<CAnswerKey>::iterator age;  // its place in m_ages
    };

    void Erase(std::unordered_map<CAnswerKey, CEntry, CKeyHash>::iterator it);
    // Drops the answers of every zone bErase names.
    void EraseZones(const std::function<bool(const std::string&)>& bErase);

    const size_t m_nCapacity;
    mutable std::mutex m_lock;
    std::int32_t m_nLimitSeconds = 0;
    std::unordered_map<CAnswerKey, CEntry, CKeyHash> m_entries;
    std::list<CAnswerKey> m_ages;  // oldest first
};
