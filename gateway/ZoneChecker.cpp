#include "gateway/ZoneChecker.h"

#include <algorithm>
#include <set>

void CZoneChecker::CheckNow() {
    m_runs.clear();  // their answers go nowhere now
    m_nOutstanding = 0;
    m_timer.Stop();
    const CDnsblLookup::Policy pPolicy = m_screening.CurrentPolicy();
    if (!pPolicy->ChecksOn()) return;
    // One test per entry text: two entries of the same text share their state.
    std::set<std::string> tested;
    for (const CPolicyZone& zone : pPolicy->zones) {
        if (!tested.insert(zone.strText).second) continue;
        auto pRun = std::make_unique<CRun>();
        pRun->strName = zone.dnsbl.strName;
        pRun->pState = zone.pState;
        pRun->pTest = std::make_unique<CZoneTest>(zone.dnsbl, m_resolver);
        m_runs.push_back(std::move(pRun));
    }
    m_nOutstanding = m_runs.size();
    // Started once all are listed: a test answered at once must not find the list changing.
    for (const std::unique_ptr<CRun>& pRun : m_runs) {
        CRun& run = *pRun;
        run.pTest->Start([this, &run](const CZoneTestResult& result) { OnTested(run, result); });
    }
    const int nMinutes = std::min(pPolicy->nCheckMinutes, kMaxPeriodMinutes);
    m_timer.Start(nMinutes * 60 * 1000, [this] { CheckNow(); });
}

void CZoneChecker::OnTested(CRun& run, const CZoneTestResult& result) {
    --m_nOutstanding;
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
            if (eBefore == EZoneHealth::Unchecked) state.SetHealth(EZoneHealth::Up);
            break;
    }
    if ((state.Health() == EZoneHealth::Suspended) != (eBefore == EZoneHealth::Suspended))
        log.HealthChanged();
}
