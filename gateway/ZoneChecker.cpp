#include "gateway/ZoneChecker.h"

#include <algorithm>
#include <set>
#include <vector>

void CZoneChecker::CheckNow() {
    const CDnsblLookup::Policy pPolicy = m_screening.CurrentPolicy();
    if (!pPolicy->ChecksOn()) {
        m_runs.clear();  // their answers go nowhere now
        KeepPeriod(0);
        m_retryTimer.Stop();
        return;
    }
    StartTests(*pPolicy);
    KeepPeriod(std::min(pPolicy->nCheckMinutes, kMaxPeriodMinutes));
}

size_t CZoneChecker::Outstanding() const {
    return static_cast<size_t>(std::count_if(
        m_runs.begin(), m_runs.end(), [](const auto& entry) { return !entry.second->bDone; }));
}

// One test per entry text: two entries of the same text share their state. An entry whose text
// changed is a new text: the old text's test goes with it.
void CZoneChecker::StartTests(const CScreeningPolicy& policy) {
    std::set<std::string> texts;
    for (const CPolicyZone& zone : policy.zones) texts.insert(zone.strText);
    for (auto it = m_runs.begin(); it != m_runs.end();)
        it = it->second->bDone || texts.count(it->first) == 0 ? m_runs.erase(it) : std::next(it);
    std::vector<CRun*> started;
    for (const CPolicyZone& zone : policy.zones) {
        if (m_runs.count(zone.strText) != 0) continue;
        auto pRun = std::make_unique<CRun>();
        pRun->strName = zone.dnsbl.strName;
        pRun->pState = zone.pState;
        pRun->pTest = std::make_unique<CZoneTest>(zone.dnsbl, m_resolver);
        started.push_back(pRun.get());
        m_runs.emplace(zone.strText, std::move(pRun));
    }
    // Started once all are listed: a test answered at once must not find the list changing.
    for (CRun* pRun : started) {
        CRun& run = *pRun;
        run.pTest->Start([this, &run](const CZoneTestResult& result) { OnTested(run, result); });
    }
}

// A reload that leaves the period as it was leaves the next round when it was due; the round
// itself finds the timer spent and starts it again.
void CZoneChecker::KeepPeriod(int nMinutes) {
    if (nMinutes == 0) {
        m_timer.Stop();
        m_nPeriodMinutes = 0;
        return;
    }
    if (nMinutes == m_nPeriodMinutes && m_timer.IsRunning()) return;
    m_nPeriodMinutes = nMinutes;
    m_timer.Start(nMinutes * 60 * 1000, [this] { CheckNow(); });
}

void CZoneChecker::OnTested(CRun& run, const CZoneTestResult& result) {
    run.bDone = true;
    CZoneState& state = *run.pState;
    const EZoneHealth eBefore = state.Health();
    IScreeningLog& log = m_screening.Log();
    switch (result.eOutcome) {
        case EZoneTest::Passed:
            state.SetHealth(EZoneHealth::Up);
            if (eBefore == EZoneHealth::Suspended)
                log.LogActivity("DNSBL " + run.strName + " Resumed");
            break;
        case EZoneTest::Failed:
            state.SetHealth(EZoneHealth::Suspended);
            if (eBefore != EZoneHealth::Suspended)
                log.Report("DNSBL " + run.strName + " Suspended (" + result.strReason + ")");
            break;
        case EZoneTest::NoAnswer:
            if (eBefore != EZoneHealth::Unchecked) break;
            if (state.TakeNoAnswerLog())
                log.LogActivity("DNSBL " + run.strName + " Not Checked (No Answer)");
            RetryUnchecked();
            break;
    }
    if (state.Health() == eBefore) return;
    // What the zone said in its old health holds no longer: a listing kept while it listed
    // everyone must not outlive its repair.
    m_screening.ForgetAnswers(run.strName);
    log.HealthChanged();
}

// A zone left unasked because its checks got no answer (the network down as the gateway
// starts, say) is tried again soon, not only at the next round, which may be a day away.
void CZoneChecker::RetryUnchecked() {
    if (m_retryTimer.IsRunning() || m_nPeriodMinutes <= kUncheckedRetryMinutes) return;
    m_retryTimer.Start(kUncheckedRetryMinutes * 60 * 1000, [this] { CheckNow(); });
}
