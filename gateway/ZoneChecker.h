// CZoneChecker: the zone checks of ZoneCheckMinutes. A round tests every active zone of the
// policy in force (ZoneTest.h) and keeps its health: a zone that fails is suspended (not asked
// about clients) and reported, "DNSBL %s Suspended (%s)" with the reason; one that passes again
// is logged "DNSBL %s Resumed"; a test that gets no answer at all leaves the zone as it was, so
// a zone never checked stays unasked, and the first time that happens it is logged "DNSBL %s
// Not Checked (No Answer)"; while one stays so, another round follows kUncheckedRetryMinutes
// later. Whenever a zone's health changes, its kept answers are dropped.
//
// A round runs when asked for (the listener's start, every load of the settings) and every
// ZoneCheckMinutes. A zone's test, once started, runs to its answer (at most the query bound)
// and counts, whatever reloads come meanwhile, unless its entry's text changes or goes: a round
// starts no second test of a zone whose test is still out, so reloads faster than a test
// neither drop it nor pile up tests of the same zone. The periodic timer keeps its time across
// reloads (it restarts only when the period changes), so a stream of reloads never postpones
// the periodic round. With the value 0 nothing runs and every test out is dropped.
//
// Owned by the listener thread (CListenThread) and used on it only: the tests run through the
// listener's resolver on its loop, never blocking it, whichever way clients are screened. It must
// go before the resolver does. Reports go through the screening's log (IScreeningLog::Report).
#pragma once

#include <map>
#include <memory>
#include <string>

#include "gateway/DnsblLookup.h"
#include "gateway/ZoneTest.h"
#include "platform/LoopResolver.h"
#include "platform/LoopTimer.h"

class CZoneChecker {
public:
    // The longest period a timer holds; a larger ZoneCheckMinutes checks this often.
    static constexpr int kMaxPeriodMinutes = 24 * 60;
    // How soon the zones are tested again while one is unasked for want of an answer.
    static constexpr int kUncheckedRetryMinutes = 1;

    CZoneChecker(CDnsblLookup& screening, CLoopResolver& resolver)
        : m_screening(screening), m_resolver(resolver) {}
    CZoneChecker(const CZoneChecker&) = delete;
    CZoneChecker& operator=(const CZoneChecker&) = delete;

    // A round now, with the policy in force: the tests of zones gone or changed are dropped, the
    // zones without a test out are tested.
    void CheckNow();
    // Zone tests still waiting for their answers.
    size_t Outstanding() const;

private:
    struct CRun {
        std::string strName;
        std::shared_ptr<CZoneState> pState;
        std::unique_ptr<CZoneTest> pTest;
        bool bDone = false;  // answered: kept until the next round, as its test may not be
                             // destroyed from inside its own answer
    };

    void StartTests(const CScreeningPolicy& policy);
    void KeepPeriod(int nMinutes);
    void RetryUnchecked();
    void OnTested(CRun& run, const CZoneTestResult& result);

    CDnsblLookup& m_screening;
    CLoopResolver& m_resolver;
    std::map<std::string, std::unique_ptr<CRun>> m_runs;  // by entry text
    int m_nPeriodMinutes = 0;  // the period the timer was last started with
    CLoopTimer m_timer;
    CLoopTimer m_retryTimer;  // a round soon, while a zone is unasked for want of an answer
};
