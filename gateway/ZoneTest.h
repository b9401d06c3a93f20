// The test every DNSBL offers its users (RFC 5782): a working list lists 127.0.0.2 and does not
// list 127.0.0.1, so it is asked for 2.0.0.127.<zone> (which must list, by the zone's filter or
// the plain rule) and 1.0.0.127.<zone> (which must not exist).
//
// - JudgeZoneTest decides from the two answers (a pure function). A zone fails when it lists
//   127.0.0.1, answers either name with a refusal (a record in 127.255.255.0/24 or outside
//   127.0.0.0/8), or answers that 127.0.0.2 is not listed; it passes when both names were
//   answered and none of that happened; otherwise (a time-out, no server, a server failure)
//   nothing was learnt.
// - TestZone asks both names on the calling thread, blocking it (at most twice the query
//   bound of platform/DnsQuery.h).
// - CZoneTest asks both at once through a CLoopResolver and reports on its loop; destroying it
//   drops what is still to come. Its thread is the resolver's.
// Nothing here logs or reports: the caller decides what a result means.
#pragma once

#include <functional>
#include <string>

#include "platform/DnsAnswer.h"
#include "platform/LoopResolver.h"
#include "settings/DnsblZone.h"

enum class EZoneTest { Passed, Failed, NoAnswer };

struct CZoneTestResult {
    EZoneTest eOutcome = EZoneTest::NoAnswer;
    std::string strReason;  // when it failed: "Lists 127.0.0.1", "Does Not List 127.0.0.2",
                            // "Refused the Query (127.255.255.254)"
};

// The name of the test address under the zone: "2.0.0.127.<zone>" when bListed, else
// "1.0.0.127.<zone>".
std::string ZoneTestName(const std::string& strZone, bool bListed);

CZoneTestResult JudgeZoneTest(const CDnsblZone& zone, const CDnsAnswer& listedTest,
                              const CDnsAnswer& unlistedTest);

CZoneTestResult TestZone(const CDnsblZone& zone);

class CZoneTest {
public:
    using Done = std::function<void(const CZoneTestResult& result)>;

    CZoneTest(CDnsblZone zone, CLoopResolver& resolver)
        : m_zone(std::move(zone)), m_resolver(resolver) {}
    ~CZoneTest();
    CZoneTest(const CZoneTest&) = delete;
    CZoneTest& operator=(const CZoneTest&) = delete;

    // Asks both names; onDone runs once both answers are in (possibly before Start returns,
    // when no query can be sent), and may not destroy this object.
    void Start(Done onDone);

private:
    void OnAnswer(int nIndex, const CDnsAnswer& answer);

    CDnsblZone m_zone;
    CLoopResolver& m_resolver;
    Done m_onDone;
    CLoopResolver::QueryId m_queries[2] = {0, 0};
    CDnsAnswer m_answers[2];
    int m_nOutstanding = 0;
};
