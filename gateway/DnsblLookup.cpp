#include "gateway/DnsblLookup.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/DnsQuery.h"

namespace {
using Guard = std::lock_guard<std::recursive_mutex>;

constexpr std::array<std::uint8_t, 4> kListedAnswer{127, 0, 0, 2};

// One active server as the walk needs it, copied under the lock.
struct CActiveServer {
    const CDnsblServer* pEntry;
    std::int32_t nId;
    std::string strZone;
};

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
unsigned LittleEndianValue(const std::array<std::uint8_t, 4>& bytes) {
    return static_cast<unsigned>(bytes[0]) | static_cast<unsigned>(bytes[1]) << 8 |
           static_cast<unsigned>(bytes[2]) << 16 | static_cast<unsigned>(bytes[3]) << 24;
}

// One server's answer about an address, as the dump shows it.
struct CServerVerdict {
    bool bListed;
    int nElapsedMs;
    std::string strText;
};

// Asks one server about the address (four bytes, network order): raises its catch count on
// any answer, logs a listing, and tells how long the query took.
CServerVerdict AskServer(Settings& settings, IScreeningLog& log,
                         const std::array<std::uint8_t, 4>& a, const CActiveServer& server,
                         std::uint32_t nGeneration) {
    const char* pZone = server.strZone.c_str();
    const auto t0 = std::chrono::steady_clock::now();
    std::array<std::uint8_t, 4> answer{};
    const int nStatus = DnsQueryA(Format("%u.%u.%u.%u.%s", a[3], a[2], a[1], a[0], pZone), answer);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - t0);

    CServerVerdict verdict{false, static_cast<int>(elapsed.count()), {}};
    if (nStatus == kDnsSuccess) {
        RaiseCatches(settings, server, nGeneration);
        verdict.strText = Format("Listed %x", LittleEndianValue(answer));
        verdict.bListed = answer == kListedAnswer;
        if (verdict.bListed)
            log.LogLine(Format("%u.%u.%u.%u Found in %s", a[0], a[1], a[2], a[3], pZone));
    } else if (nStatus == kDnsNameNotFound) {
        verdict.strText = "Not Listed";
    } else {
        verdict.strText = Format("Err: %d", nStatus);
    }
    return verdict;
}

}  // namespace

void CDnsblLookup::Start(const std::array<std::uint8_t, 4>& address, const Verdict& onVerdict) {
    onVerdict(Check(address));
}

int CDnsblLookup::Check(const std::array<std::uint8_t, 4>& address) {
    const auto& a = address;
    const std::string strAddress = Format("%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    if (IsExcluded(m_settings, strAddress)) return 0;
    const bool bDump = m_log.IsDumping();
    if (bDump) m_log.WriteDebugDump(Format("-------\nChecking %s", strAddress.c_str()));

    // Every active server is asked, even after one has listed the address.
    std::uint32_t nGeneration = 0;
    int nListings = 0;
    for (const CActiveServer& server : ActiveServers(m_settings, nGeneration)) {
        const CServerVerdict verdict = AskServer(m_settings, m_log, address, server, nGeneration);
        nListings += verdict.bListed ? 1 : 0;
        if (bDump)
            m_log.WriteDebugDump(Format("\t %s: \t\t %d ms\t%s", server.strZone.c_str(),
                                        verdict.nElapsedMs, verdict.strText.c_str()));
    }
    return nListings;
}
