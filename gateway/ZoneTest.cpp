#include "gateway/ZoneTest.h"

#include <ares.h>

#include "gateway/AnswerJudge.h"
#include "platform/DnsQuery.h"

namespace {
// The zone's server answered the question, whatever the answer (no record counts too).
bool Answered(const CDnsAnswer& answer) {
    return answer.nStatus == kDnsSuccess || answer.nStatus == kDnsNameNotFound ||
           answer.nStatus == ARES_ENODATA;
}

// The first record that is a refusal, as the reason's text; empty when there is none.
std::string RefusalReason(const CDnsAnswer& answer) {
    for (const CDnsRecordA& record : answer.records)
        if (IsRefusalRecord(record.address)) return RefusalText(record.address);
    return "";
}

bool Lists(const CDnsblZone& zone, const CDnsAnswer& answer) {
    return JudgeZoneAnswer(zone, answer).eAnswer == EZoneAnswer::Listed;
}
}  // namespace

std::string ZoneTestName(const std::string& strZone, bool bListed) {
    return (bListed ? "2.0.0.127." : "1.0.0.127.") + strZone;
}

CZoneTestResult JudgeZoneTest(const CDnsblZone& zone, const CDnsAnswer& listedTest,
                              const CDnsAnswer& unlistedTest) {
    if (Lists(zone, unlistedTest)) return {EZoneTest::Failed, "Lists 127.0.0.1"};
    for (const CDnsAnswer* pAnswer : {&listedTest, &unlistedTest})
        if (std::string strReason = RefusalReason(*pAnswer); !strReason.empty())
            return {EZoneTest::Failed, strReason};
    if (Answered(listedTest) && !Lists(zone, listedTest))
        return {EZoneTest::Failed, "Does Not List 127.0.0.2"};
    if (Answered(listedTest) && Answered(unlistedTest)) return {EZoneTest::Passed, ""};
    return {EZoneTest::NoAnswer, ""};
}

CZoneTestResult TestZone(const CDnsblZone& zone) {
    const CDnsAnswer listedTest = DnsQuery(ZoneTestName(zone.strName, true));
    const CDnsAnswer unlistedTest = DnsQuery(ZoneTestName(zone.strName, false));
    return JudgeZoneTest(zone, listedTest, unlistedTest);
}

CZoneTest::~CZoneTest() {
    for (CLoopResolver::QueryId nQuery : m_queries) m_resolver.Cancel(nQuery);
}

void CZoneTest::Start(Done onDone) {
    m_onDone = std::move(onDone);
    m_nOutstanding = 2;
    for (int i = 0; i < 2; ++i) {
        m_queries[i] = m_resolver.Query(ZoneTestName(m_zone.strName, i == 0),
                                        [this, i](const CDnsAnswer& a) { OnAnswer(i, a); });
    }
}

void CZoneTest::OnAnswer(int nIndex, const CDnsAnswer& answer) {
    m_queries[nIndex] = 0;
    m_answers[nIndex] = answer;
    if (--m_nOutstanding == 0 && m_onDone)
        m_onDone(JudgeZoneTest(m_zone, m_answers[0], m_answers[1]));
}
