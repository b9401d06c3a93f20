// The live state of each DNSBL entry that the screening policy cannot hold, being immutable: its
// health as the zone checks found it, whether its checks' lack of an answer has been logged, and
// when its last refusal was logged. Kept by entry text,
// so that a reload that keeps an entry keeps its state, and one that changes the text starts it
// afresh.
//
// CZoneState: its fields are atomics; the zone checks (listener thread) write the health, any
// screening reads it. CZoneHealth, owned by the screening (CDnsblLookup), hands out the states
// under its own mutex, held only for the map's work; any thread. Nothing fails.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

enum class EZoneHealth : int {
    Unchecked,  // no check has answered yet: not asked about clients while checks are on
    Up,         // the last check that got an answer passed
    Suspended,  // the last check that got an answer failed
};

class CZoneState {
public:
    static constexpr long long kRefusalLogGapMs = 3600 * 1000LL;

    EZoneHealth Health() const { return m_eHealth.load(); }
    void SetHealth(EZoneHealth eHealth) { m_eHealth = eHealth; }
    // True when a refusal may be logged now (none logged in the last hour); the caller logs it.
    bool TakeRefusalLog(long long nNowMs);
    // True the first time only: a check of the zone, never checked, got no answer; the caller
    // logs it. A state leaves Unchecked for good, so this is once per such episode.
    bool TakeNoAnswerLog() { return !m_bNoAnswerLogged.exchange(true); }

private:
    std::atomic<EZoneHealth> m_eHealth{EZoneHealth::Unchecked};
    std::atomic<bool> m_bNoAnswerLogged{false};
    static constexpr long long kNever = -1;
    std::atomic<long long> m_nRefusalLoggedMs{kNever};
};

class CZoneHealth {
public:
    // The state of the entry text, made (unchecked) when there is none.
    std::shared_ptr<CZoneState> StateFor(const std::string& strText);
    // Forgets the states of every text not in texts.
    void KeepOnly(const std::set<std::string>& texts);
    // The health of the entry text; none when it has no state (no policy has it as a zone).
    std::optional<EZoneHealth> HealthOf(const std::string& strText) const;

private:
    mutable std::mutex m_lock;
    std::map<std::string, std::shared_ptr<CZoneState>> m_states;
};
