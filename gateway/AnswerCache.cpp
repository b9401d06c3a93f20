#include "gateway/AnswerCache.h"

#include <algorithm>
#include <functional>

#include "gateway/AnswerJudge.h"
#include "platform/DnsQuery.h"

namespace {
using Guard = std::lock_guard<std::mutex>;
}

size_t CAnswerCache::CKeyHash::operator()(const CAnswerKey& key) const {
    return std::hash<std::string>()(key.strZone) * 31 + CNetAddressHash()(key.address);
}

std::uint32_t CAnswerCache::KeepSeconds(const CDnsAnswer& answer, std::int32_t nLimitSeconds) {
    if (nLimitSeconds <= 0) return 0;
    const auto nLimit = static_cast<std::uint32_t>(nLimitSeconds);
    if (answer.nStatus == kDnsNameNotFound) return std::min(answer.negativeTtl.value_or(0), nLimit);
    if (answer.nStatus != kDnsSuccess || answer.records.empty()) return 0;
    std::uint32_t nKeep = nLimit;
    for (const CDnsRecordA& record : answer.records) {
        if (IsRefusalRecord(record.address)) return 0;
        nKeep = std::min(nKeep, record.nTtl);
    }
    return nKeep;
}

void CAnswerCache::SetLimit(std::int32_t nLimitSeconds) {
    Guard guard(m_lock);
    if (nLimitSeconds == m_nLimitSeconds) return;
    m_nLimitSeconds = nLimitSeconds;
    m_entries.clear();
    m_ages.clear();
}

void CAnswerCache::Put(const CAnswerKey& key, const CDnsAnswer& answer, long long nNowMs) {
    Guard guard(m_lock);
    const std::uint32_t nKeep = KeepSeconds(answer, m_nLimitSeconds);
    if (nKeep == 0 || m_nCapacity == 0) return;
    if (auto it = m_entries.find(key); it != m_entries.end()) Erase(it);
    while (m_entries.size() >= m_nCapacity) Erase(m_entries.find(m_ages.front()));
    m_ages.push_back(key);
    m_entries.emplace(key, CEntry{answer, nNowMs + nKeep * 1000LL, std::prev(m_ages.end())});
}

std::optional<CDnsAnswer> CAnswerCache::Get(const CAnswerKey& key, long long nNowMs) {
    Guard guard(m_lock);
    auto it = m_entries.find(key);
    if (it == m_entries.end()) return std::nullopt;
    if (it->second.nExpiresMs <= nNowMs) {
        Erase(it);
        return std::nullopt;
    }
    return it->second.answer;
}

void CAnswerCache::KeepZones(const std::set<std::string>& zones) {
    EraseZones([&](const std::string& strZone) { return zones.count(strZone) == 0; });
}

void CAnswerCache::DropZone(const std::string& strZone) {
    EraseZones([&](const std::string& strName) { return strName == strZone; });
}

void CAnswerCache::EraseZones(const std::function<bool(const std::string&)>& bErase) {
    Guard guard(m_lock);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        auto next = std::next(it);
        if (bErase(it->first.strZone)) Erase(it);
        it = next;
    }
}

size_t CAnswerCache::Size() const {
    Guard guard(m_lock);
    return m_entries.size();
}

void CAnswerCache::Erase(std::unordered_map<CAnswerKey, CEntry, CKeyHash>::iterator it) {
    m_ages.erase(it->second.age);
    m_entries.erase(it);
}
