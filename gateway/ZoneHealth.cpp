#include "gateway/ZoneHealth.h"

namespace {
using Guard = std::lock_guard<std::mutex>;
}

// Two screenings at once log it once: only the one that moves the time logs.
bool CZoneState::TakeRefusalLog(long long nNowMs) {
    long long nLast = m_nRefusalLoggedMs.load();
    if (nLast != kNever && nNowMs - nLast < kRefusalLogGapMs) return false;
    return m_nRefusalLoggedMs.compare_exchange_strong(nLast, nNowMs);
}

std::shared_ptr<CZoneState> CZoneHealth::StateFor(const std::string& strText) {
    Guard guard(m_lock);
    std::shared_ptr<CZoneState>& pState = m_states[strText];
    if (pState == nullptr) pState = std::make_shared<CZoneState>();
    return pState;
}

void CZoneHealth::KeepOnly(const std::set<std::string>& texts) {
    Guard guard(m_lock);
    for (auto it = m_states.begin(); it != m_states.end();)
        it = texts.count(it->first) != 0 ? std::next(it) : m_states.erase(it);
}

std::optional<EZoneHealth> CZoneHealth::HealthOf(const std::string& strText) const {
    Guard guard(m_lock);
    const auto it = m_states.find(strText);
    if (it == m_states.end()) return std::nullopt;
    return it->second->Health();
}
