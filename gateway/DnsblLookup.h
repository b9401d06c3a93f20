// CDnsblLookup: screening one client address against the exclusions and every active DNSBL
// zone, with the activity log's "Found in" lines and a timed trace in the debug dump.
//
// Owned by the gateway (CGatewayCore); used on the listener thread (and by tests on
// theirs). An address is IPv4 or IPv6 (settings/NetPrefix.h): it is asked under each zone as RFC
// 5782 reverses it (10.2.0.192.zone; 32 hexadecimal digits for IPv6) and shown in the lines as
// NetPrefix writes it. Screening works from a CScreeningPolicy compiled from a settings record
// (ScreeningPolicy.h) by Reload, which installs it as the policy in force (the zone checks' and
// the monitor's) and gives it to the configuration published with it: each client is screened
// with the policy of the configuration it took, read without a lock. Catch counts are raised in
// the policy's CCatchCounts. DNS failures are never listings.
//
// Every answer, fresh or kept in the answer cache (AnswerCache.h, with DnsblCacheSeconds), goes
// through one judge (AnswerJudge.h): catch counts, "Found in" lines, a refusal logged at most
// once an hour per zone ("DNSBL %s Refused the Query (%u.%u.%u.%u)"), the metrics, the dump line
// (0 ms for a kept answer). A client is rejected when the weights of the zones that list it add
// up to DnsblThreshold; the verdict is then the number of listing zones of positive weight, and
// 0 otherwise. With ZoneCheckMinutes set, a zone is asked only while its checks pass
// (ZoneChecker.h keeps its health), and its kept answers go whenever its health changes.
//
// Two ways to screen, with the same verdict, log lines and trace:
// - Start and Check ask the zones one after the other on the calling thread, blocking it; Start
//   calls its continuation before returning.
// - StartConcurrent asks every active zone at once through a CLoopResolver and returns at once;
//   the verdict reaches the continuation later, on the resolver's loop, with the "Found in"
//   lines and the trace written then, in the list's order and together (each query with its
//   own elapsed milliseconds), so that two clients' lines never interleave. Destroying the
//   CPending it returns drops the answers still to come: no line, no catch, no verdict.
// Every answer, listing and finished screening is counted in the metrics (ScreeningMetrics.h).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "gateway/AnswerCache.h"
#include "gateway/ScreeningMetrics.h"
#include "gateway/ScreeningPolicy.h"
#include "gateway/ZoneHealth.h"
#include "platform/LoopResolver.h"
#include "settings/Settings.h"

// Where screening writes: the activity log, and the debug dump while it is on.
class IScreeningLog {
public:
    virtual ~IScreeningLog() = default;
    virtual void LogLine(const std::string& strText) = 0;
    virtual bool IsDumping() = 0;
    virtual void WriteDebugDump(const std::string& strText) = 0;
    // The activity log and the log pane; by default the log alone.
    virtual void LogActivity(const std::string& strText) { LogLine(strText); }
    // A failure for the one error-report operation; by default it is only logged.
    virtual void Report(const std::string& strText) { LogLine(strText); }
    // A zone's health changed: whatever shows it should be redrawn.
    virtual void HealthChanged() {}
};

// What screening says of one client: the listings that reject it (0: none do), and whether a
// zone that was asked could not answer (a time-out or a failure; not a name that does not
// exist, nor a zone left unasked). It reads as the listing count where only that matters.
struct CScreeningVerdict {
    int nListings = 0;
    bool bUnanswered = false;
    operator int() const { return nListings; }
};

class CDnsblLookup {
public:
    using Verdict = std::function<void(const CScreeningVerdict& verdict)>;
    using Address = CNetAddress;
    using IPv4Address = std::array<std::uint8_t, 4>;
    using Policy = std::shared_ptr<const CScreeningPolicy>;
    class CPending;

    // Starts with a policy of no zones and no exclusions.
    explicit CDnsblLookup(IScreeningLog& log);

    // Screens the address under the policy; the verdict goes to onVerdict.
    void Start(const Address& address, const Policy& pPolicy, const Verdict& onVerdict);
    // The same, waiting for the verdict: the number of listings (0 for an excluded address).
    int Check(const Address& address, const Policy& pPolicy);
    // Screens without blocking. Null when the verdict was reached at once (an excluded address,
    // no zone to ask, every answer kept) and onVerdict has run; otherwise the screening in
    // progress.
    std::unique_ptr<CPending> StartConcurrent(const Address& address, Policy pPolicy,
                                              CLoopResolver& resolver, Verdict onVerdict);
    // Check under the policy in force, and for an IPv4 address as four bytes in network order.
    int Check(const Address& address) { return Check(address, CurrentPolicy()); }
    int Check(const IPv4Address& address) { return Check(CNetAddress::FromIPv4(address)); }

    // The policy in force. Any thread.
    Policy CurrentPolicy() const;
    // Compiles the settings into a policy and installs it as the one in force; its problems
    // name the entries that cannot be read. pCatches: the catch counts of the settings' load
    // (none: a new set). UI thread, or a test's.
    Policy Reload(const Settings& settings, std::shared_ptr<CCatchCounts> pCatches = nullptr);
    // With checks on, the health of the entry text's zone; none with checks off, or for a text
    // the policy does not have as a zone. Any thread.
    std::optional<EZoneHealth> CheckedHealth(const std::string& strText) const;
    // With checks on, each zone of the policy in force by name, with its health; empty with
    // checks off.
    std::vector<std::pair<std::string, EZoneHealth>> ZoneHealths();
    // Drops the answers kept for the zone name: its health changed, so what it said before
    // holds no longer. Any thread.
    void ForgetAnswers(const std::string& strName) { m_cache.DropZone(strName); }

    IScreeningLog& Log() { return m_log; }
    const CScreeningMetrics& Metrics() const { return m_metrics; }
    CScreeningMetrics& Metrics() { return m_metrics; }

private:
    friend class CZoneJudge;
    CScreeningVerdict Screen(const Address& address, const CScreeningPolicy& policy);
    CScreeningVerdict TimedScreen(const Address& address, const CScreeningPolicy& policy);
    void Install(Policy pPolicy);
    // The answer kept for the zone and address, when the policy keeps answers.
    std::optional<CDnsAnswer> KeptAnswer(const CScreeningPolicy& policy, const CPolicyZone& zone,
                                         const Address& address);
    void KeepAnswer(const CScreeningPolicy& policy, const CPolicyZone& zone, const Address& address,
                    const CDnsAnswer& answer);

    IScreeningLog& m_log;
    CScreeningMetrics m_metrics;
    CZoneHealth m_health;
    CAnswerCache m_cache;
    mutable std::mutex m_policyLock;  // m_pPolicy
    Policy m_pPolicy;
    std::atomic<bool> m_bChecksOn{false};
};

// A screening whose queries all run at once; the answers are kept until the last one is in.
class CDnsblLookup::CPending {
public:
    CPending(CDnsblLookup& lookup, const Address& address, CLoopResolver& resolver,
             Verdict onVerdict);
    ~CPending();
    CPending(const CPending&) = delete;
    CPending& operator=(const CPending&) = delete;

    // Asks every zone not answered from the cache; false when the verdict has been given
    // already.
    bool Start(Policy pPolicy, bool bDump);

private:
    struct CAnswer {
        CLoopResolver::QueryId nQuery = 0;
        CDnsAnswer answer;
        int nElapsedMs = 0;
        bool bAsked = true;    // false: the zone is not asked (its checks failed)
        bool bCached = false;  // answered from the cache
    };

    void OnAnswer(size_t nIndex, const CDnsAnswer& answer);
    void Finish();

    CDnsblLookup& m_lookup;
    Address m_address;
    CLoopResolver& m_resolver;
    Verdict m_onVerdict;
    Policy m_pPolicy;
    std::vector<CAnswer> m_answers;
    bool m_bDump = false;
    bool m_bStarting = false;
    size_t m_nOutstanding = 0;
    std::chrono::steady_clock::time_point m_start;
};
