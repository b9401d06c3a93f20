// CZoneChecker: the zone checks of ZoneCheckMinutes. Each round tests every active zone of the
// policy in force (ZoneTest.h) and keeps its health: a zone that fails is suspended (not asked
// about clients) and reported, "DNSBL %s Suspended (%s)" with the reason; one that passes again
// is logged "DNSBL %s Resumed"; a test that gets no answer at all leaves the zone as it was (a
// zone never checked before is then asked, as there is nothing against it). A round runs at
// once when asked for (the listener's start, every load of the settings) and then every
// ZoneCheckMinutes; with the value 0 nothing runs and any round in progress is dropped.
//
// Owned by the listener thread (CListenThread) and used on it only: the tests run through the
// listener's resolver on its loop, never blocking it, whichever way clients are screened. It must
// go before the resolver does. Reports go through the screening's log (IScreeningLog::Report).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "gateway/DnsblLookup.h"
#include "gateway/ZoneTest.h"
#include "platform/LoopResolver.h"
#include "platform/LoopTimer.h"

class CZoneChecker {
public:
    // The longest period a timer holds; a larger ZoneCheckMinutes checks this often.
    static constexpr int kMaxPeriodMinutes = 24 * 60;

    CZoneChecker(CDnsblLookup& screening, CLoopResolver& resolver)
        : m_screening(screening), m_resolver(resolver) {}
    CZoneChecker(const CZoneChecker&) = delete;
    CZoneChecker& operator=(const CZoneChecker&) = delete;

    // Drops the round in progress and starts a new one, with the next one due a period later.
    void CheckNow();
    // Zone tests still waiting for their answers.
    size_t Outstanding() const { return m_nOutstanding; }

private:
    struct CRun {
        std::string strName;
        std::shared_ptr<CZoneState> pState;
        std::unique_ptr<CZoneTest> pTest;
    };

    void OnTested(CRun& run, const CZoneTestResult& result);

    CDnsblLookup& m_screening;
    CLoopResolver& m_resolver;
    std::vector<std::unique_ptr<CRun>> m_runs;
    size_t m_nOutstanding = 0;
    CLoopTimer m_timer;
};
