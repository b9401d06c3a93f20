// CScreeningPolicy: the settings as screening uses them, compiled in one step and never changed
// afterwards: the active zones with their filters and weights, the exclusions (exact texts and
// networks), the threshold, and how often zones are checked and how long answers are kept.
//
// CompileScreeningPolicy reads a settings record (and nothing else); the result is shared by
// pointer and read without a lock by any thread, while a newer one may replace it. What changes
// while it is in use lives beside it: catch counts in its CCatchCounts (by entry id), and each
// zone's health in its CZoneState. An entry whose text cannot be read is left out and named
// in problems (for the report a load makes); nothing else fails.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gateway/CatchCounts.h"
#include "gateway/ZoneHealth.h"
#include "settings/DnsblZone.h"
#include "settings/NetPrefix.h"
#include "settings/Settings.h"

struct CPolicyZone {
    std::int32_t nId;     // the entry's, which keys its catch count
    std::string strText;  // as entered, which keys its state
    CDnsblZone dnsbl;     // its text as read: name, filter, weight
    std::shared_ptr<CZoneState> pState;
};

struct CScreeningPolicy {
    std::shared_ptr<CCatchCounts> pCatches;  // the catches of this load's entries
    std::vector<CPolicyZone> zones;  // the active zones whose text reads, from the list's head
    std::vector<std::string> exactExclusions;  // active exclusions of one IPv4 address: by text
    std::vector<CNetPrefix> excludedNetworks;  // the other active ones: networks, IPv6 addresses
    std::int32_t nThreshold = 1;
    std::int32_t nCheckMinutes = 0;
    std::int32_t nCacheSeconds = 0;
    std::vector<std::string> problems;  // one report text per entry that cannot be read

    bool ChecksOn() const { return nCheckMinutes > 0; }
    bool CacheOn() const { return nCacheSeconds > 0; }
    // An IPv4 address is excluded by an entry with exactly the text the log writes for it; any
    // address inside an excluded network, or equal to an excluded IPv6 address, is excluded.
    bool IsExcluded(const CNetAddress& address) const;
    // Whether the zone is asked about clients: always with checks off; with them on, only while
    // the last of its checks that got an answer passed.
    bool IsAsked(const CPolicyZone& zone) const;
};

// pCatches: the counts of the load the settings come from (a new set for a new load).
std::shared_ptr<const CScreeningPolicy> CompileScreeningPolicy(
    const Settings& settings, CZoneHealth& health, std::shared_ptr<CCatchCounts> pCatches);
