#include "gateway/DnsblLookup.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/DnsQuery.h"

namespace {
using Guard = std::lock_guard<std::recursive_mutex>;
using Address = CDnsblLookup::Address;
using CActiveServer = CDnsblLookup::CActiveServer;
using Clock = std::chrono::steady_clock;

constexpr Address kListedAnswer{127, 0, 0, 2};

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

std::string DottedText(const Address& a) { return Format("%u.%u.%u.%u", a[0], a[1], a[2], a[3]); }

// The reversed address under the zone: 10.20.30.40 under Z asks for 40.30.20.10.Z.
std::string QueryName(const Address& a, const std::string& strZone) {
    return Format("%u.%u.%u.%u.%s", a[3], a[2], a[1], a[0], strZone.c_str());
}

int ElapsedMs(Clock::time_point start) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Only an active exclusion exempts its address: an administrator who disables one expects
// that address to be checked again. The comparison is exact text equality.
bool IsExcluded(Settings& settings, const std::string& strAddress) {
    Guard guard(settings.m_lock);
    for (const CExclusion* p = settings.Exclusions; p != nullptr; p = p->m_pNext)
        if (p->m_bActive != 0 && p->m_strAddress == strAddress) return true;
    return false;
}

// The active servers from the head of the list, and the list generation they belong to.
std::vector<CActiveServer> ActiveServers(Settings& settings, std::uint32_t& nGeneration) {
    Guard guard(settings.m_lock);
    nGeneration = settings.m_nListGeneration;
    std::vector<CActiveServer> servers;
    for (const CDnsblServer* p = settings.DNSBL_Servers; p != nullptr; p = p->m_pNext)
        if (p->m_bActive != 0) servers.push_back({p, p->m_nId, p->m_strName});
    return servers;
}

// Raises the catch count of a server taken by ActiveServers, unless the list has been
// cleared since (its entries destroyed) or the entry is no longer linked.
void RaiseCatches(Settings& settings, const CActiveServer& server, std::uint32_t nGeneration) {
    Guard guard(settings.m_lock);
    if (settings.m_nListGeneration != nGeneration) return;
    for (CDnsblServer* p = settings.DNSBL_Servers; p != nullptr; p = p->m_pNext) {
        if (p != server.pEntry || p->m_nId != server.nId) continue;
        ++p->m_nCatches;
        return;
    }
}

// The answer's four network-order bytes read as a little-endian number, as "Listed %x" shows
// them: 127.0.0.2 gives 200007f.
unsigned LittleEndianValue(const Address& bytes) {
    return static_cast<unsigned>(bytes[0]) | static_cast<unsigned>(bytes[1]) << 8 |
           static_cast<unsigned>(bytes[2]) << 16 | static_cast<unsigned>(bytes[3]) << 24;
}

// What one server's answer about an address means; the same whichever way it was asked.
class CServerJudge {
public:
    CServerJudge(Settings& settings, IScreeningLog& log, CScreeningMetrics& metrics,
                 const Address& address, std::uint32_t nGeneration)
        : m_settings(settings),
          m_log(log),
          m_metrics(metrics),
          m_address(address),
          m_nGeneration(nGeneration) {}

    // Raises the server's catch count on any answer and logs a listing; true for a listing.
    // The dump line goes to the trace when there is one.
    bool Judge(const CActiveServer& server, int nStatus, const Address& answer, int nElapsedMs,
               bool bDump) {
        const Address& a = m_address;
        std::string strVerdict;
        bool bListed = false;
        if (nStatus == kDnsSuccess) {
            RaiseCatches(m_settings, server, m_nGeneration);
            strVerdict = Format("Listed %x", LittleEndianValue(answer));
            bListed = answer == kListedAnswer;
            if (bListed) {
                m_log.LogLine(Format("%u.%u.%u.%u Found in %s", a[0], a[1], a[2], a[3],
                                     server.strZone.c_str()));
                m_metrics.CountListing(server.strZone);
            }
            m_metrics.CountQuery(bListed ? CScreeningMetrics::kListed
                                         : CScreeningMetrics::kNotListed);
        } else if (nStatus == kDnsNameNotFound) {
            strVerdict = "Not Listed";
            m_metrics.CountQuery(CScreeningMetrics::kNotListed);
        } else {
            strVerdict = Format("Err: %d", nStatus);
            m_metrics.CountQuery(CScreeningMetrics::kError);
        }
        if (bDump)
            m_log.WriteDebugDump(Format("\t %s: \t\t %d ms\t%s", server.strZone.c_str(), nElapsedMs,
                                        strVerdict.c_str()));
        return bListed;
    }

private:
    Settings& m_settings;
    IScreeningLog& m_log;
    CScreeningMetrics& m_metrics;
    Address m_address;
    std::uint32_t m_nGeneration;
};

void WriteDumpHead(IScreeningLog& log, const std::string& strAddress) {
    log.WriteDebugDump(Format("-------\nChecking %s", strAddress.c_str()));
}
}  // namespace

void CDnsblLookup::Start(const Address& address, const Verdict& onVerdict) {
    onVerdict(Check(address));
}

int CDnsblLookup::Check(const Address& address) {
    const Clock::time_point start = Clock::now();
    const int nListings = Screen(address);
    m_metrics.CountScreening(Clock::now() - start);
    return nListings;
}

int CDnsblLookup::Screen(const Address& address) {
    const std::string strAddress = DottedText(address);
    if (IsExcluded(m_settings, strAddress)) return 0;
    const bool bDump = m_log.IsDumping();
    if (bDump) WriteDumpHead(m_log, strAddress);

    // Every active server is asked, even after one has listed the address.
    std::uint32_t nGeneration = 0;
    const std::vector<CActiveServer> servers = ActiveServers(m_settings, nGeneration);
    CServerJudge judge(m_settings, m_log, m_metrics, address, nGeneration);
    int nListings = 0;
    for (const CActiveServer& server : servers) {
        const Clock::time_point start = Clock::now();
        Address answer{};
        const int nStatus = DnsQueryA(QueryName(address, server.strZone), answer);
        nListings += judge.Judge(server, nStatus, answer, ElapsedMs(start), bDump) ? 1 : 0;
    }
    return nListings;
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

bool CDnsblLookup::CPending::Start(std::vector<CActiveServer> servers, std::uint32_t nGeneration,
                                   bool bDump) {
    m_servers = std::move(servers);
    m_nGeneration = nGeneration;
    m_bDump = bDump;
    m_answers.resize(m_servers.size());
    m_nOutstanding = m_servers.size();
    m_start = Clock::now();
    // An answer given inside QueryA (a channel that cannot be made) waits for the others.
    m_bStarting = true;
    for (size_t i = 0; i < m_servers.size(); ++i) {
        m_answers[i].nQuery = m_resolver.QueryA(
            QueryName(m_address, m_servers[i].strZone),
            [this, i](int nStatus, const Address& address) { OnAnswer(i, nStatus, address); });
    }
    m_bStarting = false;
    if (m_nOutstanding > 0) return true;
    Finish();
    return false;
}

void CDnsblLookup::CPending::OnAnswer(size_t nIndex, int nStatus, const Address& address) {
    CAnswer& answer = m_answers[nIndex];
    answer = CAnswer{0, nStatus, address, ElapsedMs(m_start)};
    if (--m_nOutstanding == 0 && !m_bStarting) Finish();
}

// The verdict runs last: it may destroy this object.
void CDnsblLookup::CPending::Finish() {
    if (m_bDump) WriteDumpHead(m_lookup.m_log, DottedText(m_address));
    CServerJudge judge(m_lookup.m_settings, m_lookup.m_log, m_lookup.m_metrics, m_address,
                       m_nGeneration);
    int nListings = 0;
    for (size_t i = 0; i < m_servers.size(); ++i) {
        const CAnswer& answer = m_answers[i];
        if (judge.Judge(m_servers[i], answer.nStatus, answer.address, answer.nElapsedMs, m_bDump))
            ++nListings;
    }
    m_lookup.m_metrics.CountScreening(Clock::now() - m_start);
    Verdict onVerdict = std::move(m_onVerdict);
    onVerdict(nListings);
}

std::unique_ptr<CDnsblLookup::CPending> CDnsblLookup::StartConcurrent(const Address& address,
                                                                      CLoopResolver& resolver,
                                                                      Verdict onVerdict) {
    if (IsExcluded(m_settings, DottedText(address))) {
        m_metrics.CountScreening(Clock::duration::zero());
        onVerdict(0);
        return nullptr;
    }
    const bool bDump = m_log.IsDumping();
    std::uint32_t nGeneration = 0;
    std::vector<CActiveServer> servers = ActiveServers(m_settings, nGeneration);
    auto pPending = std::make_unique<CPending>(*this, address, resolver, std::move(onVerdict));
    if (!pPending->Start(std::move(servers), nGeneration, bDump)) return nullptr;
    return pPending;
}
