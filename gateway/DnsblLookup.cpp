#include "gateway/DnsblLookup.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "gateway/AnswerJudge.h"
#include "platform/DnsQuery.h"
#include "platform/LoopDeadline.h"

namespace {
using Address = CDnsblLookup::Address;
using Clock = std::chrono::steady_clock;

std::string Format(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* pFormat, ...) {
    va_list args;
    va_start(args, pFormat);
    va_list sizing;
    va_copy(sizing, args);
    const int nLength = std::vsnprintf(nullptr, 0, pFormat, sizing);
    va_end(sizing);
    std::string strText(nLength > 0 ? nLength : 0, '\0');
    if (nLength > 0) std::vsnprintf(strText.data(), strText.size() + 1, pFormat, args);
    va_end(args);
    return strText;
}

// The reversed address under the zone: 10.20.30.40 under Z asks for 40.30.20.10.Z.
std::string QueryName(const Address& address, const std::string& strZone) {
    return address.ReversedText() + "." + strZone;
}

int ElapsedMs(Clock::time_point start) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

void WriteDumpHead(IScreeningLog& log, const std::string& strAddress) {
    log.WriteDebugDump(Format("-------\nChecking %s", strAddress.c_str()));
}

// Each zone name with the entry texts that ask it; a name whose texts changed loses its answers.
std::map<std::string, std::multiset<std::string>> TextsByName(const CScreeningPolicy& policy) {
    std::map<std::string, std::multiset<std::string>> texts;
    for (const CPolicyZone& zone : policy.zones) texts[zone.dnsbl.strName].insert(zone.strText);
    return texts;
}
}  // namespace

// What the zones' answers about one address mean, whichever way they were asked.
class CZoneJudge {
public:
    CZoneJudge(CDnsblLookup& lookup, const CScreeningPolicy& policy, const Address& address,
               bool bDump)
        : m_lookup(lookup), m_policy(policy), m_address(address), m_bDump(bDump) {}

    void Judge(const CPolicyZone& zone, const CDnsAnswer& answer, int nElapsedMs, bool bCached);
    // A zone its checks keep from being asked: only the dump says so.
    void Skip(const CPolicyZone& zone);
    // The listings of positive weight when the weights reach the threshold, otherwise 0; and
    // whether an asked zone failed to answer.
    CScreeningVerdict Verdict() const {
        return {m_nWeights >= m_policy.nThreshold ? m_nListings : 0, m_bUnanswered};
    }

private:
    void Dump(const CPolicyZone& zone, int nElapsedMs, const std::string& strVerdict);
    void Count(const CPolicyZone& zone, const CZoneVerdict& verdict);

    CDnsblLookup& m_lookup;
    const CScreeningPolicy& m_policy;
    Address m_address;
    bool m_bDump;
    long long m_nWeights = 0;
    int m_nListings = 0;
    bool m_bUnanswered = false;
};

void CZoneJudge::Judge(const CPolicyZone& zone, const CDnsAnswer& answer, int nElapsedMs,
                       bool bCached) {
    const CZoneVerdict verdict = JudgeZoneAnswer(zone.dnsbl, answer);
    if (verdict.bCatch) m_policy.pCatches->Raise(zone.nId);
    Count(zone, verdict);
    if (bCached) m_lookup.m_metrics.CountCacheHit();
    Dump(zone, nElapsedMs, verdict.strDump);
}

void CZoneJudge::Count(const CPolicyZone& zone, const CZoneVerdict& verdict) {
    CScreeningMetrics& metrics = m_lookup.m_metrics;
    switch (verdict.eAnswer) {
        case EZoneAnswer::Listed:
            m_lookup.m_log.LogLine(m_address.ToText() + " Found in " + zone.dnsbl.strName);
            metrics.CountListing(zone.dnsbl.strName);
            metrics.CountQuery(CScreeningMetrics::kListed);
            m_nWeights += zone.dnsbl.nWeight;
            m_nListings += zone.dnsbl.nWeight > 0 ? 1 : 0;
            break;
        case EZoneAnswer::NotListed:
            metrics.CountQuery(CScreeningMetrics::kNotListed);
            break;
        case EZoneAnswer::Refused:
            metrics.CountQuery(CScreeningMetrics::kRefused);
            if (zone.pState->TakeRefusalLog(CLoopDeadline::NowMs()))
                m_lookup.m_log.LogActivity("DNSBL " + zone.dnsbl.strName + " " +
                                           RefusalText(verdict.record));
            break;
        case EZoneAnswer::Failed:
            metrics.CountQuery(CScreeningMetrics::kError);
            m_bUnanswered = true;
            break;
    }
}

void CZoneJudge::Skip(const CPolicyZone& zone) {
    Dump(zone, 0,
         zone.pState->Health() == EZoneHealth::Suspended ? "Suspended" : "Not Checked Yet");
}

void CZoneJudge::Dump(const CPolicyZone& zone, int nElapsedMs, const std::string& strVerdict) {
    if (m_bDump)
        m_lookup.m_log.WriteDebugDump(Format("\t %s: \t\t %d ms\t%s", zone.dnsbl.strName.c_str(),
                                             nElapsedMs, strVerdict.c_str()));
}

CDnsblLookup::CDnsblLookup(IScreeningLog& log) : m_log(log) {
    Install(CompileScreeningPolicy(Settings(), m_health, nullptr));
}

CDnsblLookup::Policy CDnsblLookup::CurrentPolicy() const {
    std::lock_guard<std::mutex> guard(m_policyLock);
    return m_pPolicy;
}

CDnsblLookup::Policy CDnsblLookup::Reload(const Settings& settings,
                                          std::shared_ptr<CCatchCounts> pCatches) {
    Policy pPolicy = CompileScreeningPolicy(settings, m_health, std::move(pCatches));
    std::lock_guard<std::mutex> guard(m_policyLock);
    Install(pPolicy);
    return pPolicy;
}

// Kept answers stay only for the zone names whose entries are unchanged, and only while the
// longest time to keep them stays the same: a new limit drops them all, and holds for every
// answer put from now on, whichever policy asked for it.
void CDnsblLookup::Install(Policy pPolicy) {
    m_cache.SetLimit(pPolicy->nCacheSeconds);
    if (m_pPolicy != nullptr && pPolicy->CacheOn()) {
        const auto oldTexts = TextsByName(*m_pPolicy);
        std::set<std::string> unchanged;
        for (const auto& [strName, texts] : TextsByName(*pPolicy))
            if (auto it = oldTexts.find(strName); it != oldTexts.end() && it->second == texts)
                unchanged.insert(strName);
        m_cache.KeepZones(unchanged);
    }
    m_bChecksOn = pPolicy->ChecksOn();
    m_pPolicy = std::move(pPolicy);
}

std::optional<EZoneHealth> CDnsblLookup::CheckedHealth(const std::string& strText) const {
    if (!m_bChecksOn) return std::nullopt;
    return m_health.HealthOf(strText);
}

std::vector<std::pair<std::string, EZoneHealth>> CDnsblLookup::ZoneHealths() {
    const Policy pPolicy = CurrentPolicy();
    std::vector<std::pair<std::string, EZoneHealth>> zones;
    if (!pPolicy->ChecksOn()) return zones;
    std::set<std::string> seen;
    for (const CPolicyZone& zone : pPolicy->zones)
        if (seen.insert(zone.dnsbl.strName).second)
            zones.emplace_back(zone.dnsbl.strName, zone.pState->Health());
    return zones;
}

std::optional<CDnsAnswer> CDnsblLookup::KeptAnswer(const CScreeningPolicy& policy,
                                                   const CPolicyZone& zone,
                                                   const Address& address) {
    if (!policy.CacheOn()) return std::nullopt;
    return m_cache.Get({zone.dnsbl.strName, address}, CLoopDeadline::NowMs());
}

// Kept under the limit in force now, which may be lower than the one of the policy that asked.
void CDnsblLookup::KeepAnswer(const CScreeningPolicy& policy, const CPolicyZone& zone,
                              const Address& address, const CDnsAnswer& answer) {
    if (!policy.CacheOn()) return;
    m_cache.Put({zone.dnsbl.strName, address}, answer, CLoopDeadline::NowMs());
}

void CDnsblLookup::Start(const Address& address, const Policy& pPolicy, const Verdict& onVerdict) {
    onVerdict(TimedScreen(address, *pPolicy));
}

int CDnsblLookup::Check(const Address& address, const Policy& pPolicy) {
    return TimedScreen(address, *pPolicy).nListings;
}

CScreeningVerdict CDnsblLookup::TimedScreen(const Address& address,
                                            const CScreeningPolicy& policy) {
    const Clock::time_point start = Clock::now();
    const CScreeningVerdict verdict = Screen(address, policy);
    m_metrics.CountScreening(Clock::now() - start);
    return verdict;
}

CScreeningVerdict CDnsblLookup::Screen(const Address& address, const CScreeningPolicy& policy) {
    if (policy.IsExcluded(address)) return {};
    const bool bDump = m_log.IsDumping();
    if (bDump) WriteDumpHead(m_log, address.ToText());

    // Every active zone is asked, even after one has listed the address.
    CZoneJudge judge(*this, policy, address, bDump);
    for (const CPolicyZone& zone : policy.zones) {
        if (!policy.IsAsked(zone)) {
            judge.Skip(zone);
            continue;
        }
        if (const std::optional<CDnsAnswer> kept = KeptAnswer(policy, zone, address)) {
            judge.Judge(zone, *kept, 0, true);
            continue;
        }
        const Clock::time_point start = Clock::now();
        const CDnsAnswer answer = DnsQuery(QueryName(address, zone.dnsbl.strName));
        KeepAnswer(policy, zone, address, answer);
        judge.Judge(zone, answer, ElapsedMs(start), false);
    }
    return judge.Verdict();
}

CDnsblLookup::CPending::CPending(CDnsblLookup& lookup, const Address& address,
                                 CLoopResolver& resolver, Verdict onVerdict)
    : m_lookup(lookup),
      m_address(address),
      m_resolver(resolver),
      m_onVerdict(std::move(onVerdict)) {}

CDnsblLookup::CPending::~CPending() {
    for (const CAnswer& answer : m_answers) m_resolver.Cancel(answer.nQuery);
}

bool CDnsblLookup::CPending::Start(Policy pPolicy, bool bDump) {
    m_pPolicy = std::move(pPolicy);
    const CScreeningPolicy& policy = *m_pPolicy;
    m_bDump = bDump;
    m_answers.resize(policy.zones.size());
    m_start = Clock::now();
    // An answer given inside Query (a channel that cannot be made) waits for the others.
    m_bStarting = true;
    for (size_t i = 0; i < policy.zones.size(); ++i) {
        const CPolicyZone& zone = policy.zones[i];
        CAnswer& slot = m_answers[i];
        slot.bAsked = policy.IsAsked(zone);
        if (!slot.bAsked) continue;
        if (std::optional<CDnsAnswer> kept = m_lookup.KeptAnswer(policy, zone, m_address)) {
            slot.answer = std::move(*kept);
            slot.bCached = true;
            continue;
        }
        ++m_nOutstanding;
        slot.nQuery = m_resolver.Query(QueryName(m_address, zone.dnsbl.strName),
                                       [this, i](const CDnsAnswer& a) { OnAnswer(i, a); });
    }
    m_bStarting = false;
    if (m_nOutstanding > 0) return true;
    Finish();
    return false;
}

void CDnsblLookup::CPending::OnAnswer(size_t nIndex, const CDnsAnswer& answer) {
    CAnswer& slot = m_answers[nIndex];
    slot.nQuery = 0;
    slot.answer = answer;
    slot.nElapsedMs = ElapsedMs(m_start);
    m_lookup.KeepAnswer(*m_pPolicy, m_pPolicy->zones[nIndex], m_address, answer);
    if (--m_nOutstanding == 0 && !m_bStarting) Finish();
}

// The verdict runs last: it may destroy this object.
void CDnsblLookup::CPending::Finish() {
    const CScreeningPolicy& policy = *m_pPolicy;
    if (m_bDump) WriteDumpHead(m_lookup.m_log, m_address.ToText());
    CZoneJudge judge(m_lookup, policy, m_address, m_bDump);
    for (size_t i = 0; i < policy.zones.size(); ++i) {
        const CAnswer& slot = m_answers[i];
        if (!slot.bAsked)
            judge.Skip(policy.zones[i]);
        else
            judge.Judge(policy.zones[i], slot.answer, slot.nElapsedMs, slot.bCached);
    }
    const CScreeningVerdict verdict = judge.Verdict();
    m_lookup.m_metrics.CountScreening(Clock::now() - m_start);
    Verdict onVerdict = std::move(m_onVerdict);
    onVerdict(verdict);
}

std::unique_ptr<CDnsblLookup::CPending> CDnsblLookup::StartConcurrent(const Address& address,
                                                                      Policy pPolicy,
                                                                      CLoopResolver& resolver,
                                                                      Verdict onVerdict) {
    if (pPolicy->IsExcluded(address)) {
        m_metrics.CountScreening(Clock::duration::zero());
        onVerdict(CScreeningVerdict{});
        return nullptr;
    }
    auto pPending = std::make_unique<CPending>(*this, address, resolver, std::move(onVerdict));
    if (!pPending->Start(std::move(pPolicy), m_log.IsDumping())) return nullptr;
    return pPending;
}
