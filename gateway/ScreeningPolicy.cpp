#include "gateway/ScreeningPolicy.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <tuple>

namespace {
// Every entry's text is read, so that a load reports each one that cannot be; only the active
// ones are asked. A removed entry (empty text) still in the list reads as a plain zone and is
// asked as it always was.
void AddZone(const CDnsblServer& entry, CScreeningPolicy& policy, CZoneHealth& health) {
    CDnsblZone zone;
    if (std::string strError = ParseDnsblZone(entry.m_strName, zone); !strError.empty()) {
        policy.problems.push_back("DNSBL \"" + entry.m_strName + "\": " + strError +
                                  "; the entry is not asked.");
        return;
    }
    if (entry.m_bActive == 0) return;
    policy.zones.push_back({entry.m_nId, entry.m_strName, zone, health.StateFor(entry.m_strName)});
}

// A single IPv4 address is compared as text, as the dialog writes it; an IPv6 address, which
// has many ways to be written, is compared as an address, like every network.
void AddExclusion(const CExclusion& entry, CScreeningPolicy& policy) {
    if (entry.m_strAddress.empty()) return;
    if (!IsNetworkText(entry.m_strAddress) && !IsIPv6Text(entry.m_strAddress)) {
        if (entry.m_bActive != 0) policy.exactExclusions.push_back(entry.m_strAddress);
        return;
    }
    CNetPrefix network;
    if (std::string strError = ParseNetPrefix(entry.m_strAddress, network); !strError.empty()) {
        policy.problems.push_back("Exclusion \"" + entry.m_strAddress + "\": " + strError +
                                  "; it excludes nothing.");
        return;
    }
    if (entry.m_bActive != 0) policy.excludedNetworks.push_back(network);
}

// The threshold, check period and cache time as screening takes them: a threshold below 1
// counts as 1, a negative time as 0.
std::tuple<std::int32_t, std::int32_t, std::int32_t> NumbersOf(const Settings& settings) {
    return {std::max<std::int32_t>(settings.DnsblThreshold, 1),
            std::max<std::int32_t>(settings.ZoneCheckMinutes, 0),
            std::max<std::int32_t>(settings.DnsblCacheSeconds, 0)};
}
}  // namespace

// The address is written out only when there are texts to compare it with.
bool CScreeningPolicy::IsExcluded(const CNetAddress& address) const {
    if (!exactExclusions.empty() && std::find(exactExclusions.begin(), exactExclusions.end(),
                                              address.ToText()) != exactExclusions.end())
        return true;
    return std::any_of(excludedNetworks.begin(), excludedNetworks.end(),
                       [&](const CNetPrefix& network) { return network.Contains(address); });
}

bool CScreeningPolicy::IsAsked(const CPolicyZone& zone) const {
    return !ChecksOn() || zone.pState->Health() == EZoneHealth::Up;
}

std::shared_ptr<const CScreeningPolicy> CompileScreeningPolicy(
    const Settings& settings, CZoneHealth& health, std::shared_ptr<CCatchCounts> pCatches) {
    auto pPolicy = std::make_shared<CScreeningPolicy>();
    CScreeningPolicy& policy = *pPolicy;
    policy.pCatches = pCatches != nullptr ? std::move(pCatches) : std::make_shared<CCatchCounts>();
    for (const CDnsblServer* p = settings.DNSBL_Servers; p != nullptr; p = p->m_pNext)
        AddZone(*p, policy, health);
    for (const CExclusion* p = settings.Exclusions; p != nullptr; p = p->m_pNext)
        AddExclusion(*p, policy);
    std::tie(policy.nThreshold, policy.nCheckMinutes, policy.nCacheSeconds) = NumbersOf(settings);
    std::set<std::string> texts;
    for (const CPolicyZone& zone : policy.zones) texts.insert(zone.strText);
    health.KeepOnly(texts);
    return pPolicy;
}
