#include "settings/Settings.h"

#include <arpa/inet.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace {
constexpr const char* kWhiteSpace = " \t\n\v\f\r";
}  // namespace

std::string Trim(std::string& strText) {
    const size_t nLast = strText.find_last_not_of(kWhiteSpace);
    strText.erase(nLast == std::string::npos ? 0 : nLast + 1);
    strText.erase(0, strText.find_first_not_of(kWhiteSpace));
    return strText;
}

std::vector<std::string> ListEntries(const std::string& strList) {
    std::vector<std::string> entries;
    for (size_t nStart = 0; nStart <= strList.size();) {
        const size_t nComma = std::min(strList.find(',', nStart), strList.size());
        std::string strEntry = strList.substr(nStart, nComma - nStart);
        nStart = nComma + 1;
        if (!Trim(strEntry).empty()) entries.push_back(std::move(strEntry));
    }
    return entries;
}

std::int32_t Atol(const std::string& strText) {
    const long nValue = std::strtol(strText.c_str(), nullptr, 10);
    return static_cast<std::int32_t>(std::clamp<long>(nValue, INT32_MIN, INT32_MAX));
}

void Settings::AddDnsblServer(std::string strName, std::int32_t bActive) {
    Trim(strName);
    if (strName.empty()) return;
    auto* pEntry = new CDnsblServer(++m_nLastDnsblId, std::move(strName), bActive);
    pEntry->m_pNext = DNSBL_Servers;
    DNSBL_Servers = pEntry;
}

void Settings::AddExclusion(const std::string& strAddress, std::int32_t bActive) {
    auto* pEntry = new CExclusion(++m_nLastExclusionId, strAddress, bActive);
    pEntry->m_pNext = Exclusions;
    Exclusions = pEntry;
}

CDnsblServer* Settings::FindDnsblServer(std::int32_t nId) const {
    for (CDnsblServer* p = DNSBL_Servers; p; p = p->m_pNext)
        if (p->m_nId == nId) return p;
    return nullptr;
}

CExclusion* Settings::FindExclusion(std::int32_t nId) const {
    for (CExclusion* p = Exclusions; p; p = p->m_pNext)
        if (p->m_nId == nId) return p;
    return nullptr;
}

void Settings::ClearDnsblServers() {
    while (CDnsblServer* pHead = DNSBL_Servers) {
        DNSBL_Servers = pHead->m_pNext;
        delete pHead;
    }
}

void Settings::ClearExclusions() {
    while (CExclusion* pHead = Exclusions) {
        Exclusions = pHead->m_pNext;
        delete pHead;
    }
}

namespace {
// The entries of a comma-separated list of addresses and networks; for each one that cannot be
// read, a report of it goes to invalid. Blanks around an entry and empty entries do not count.
std::vector<CNetPrefix> ParseAddressList(const std::string& strList,
                                         std::vector<std::string>& invalid) {
    std::vector<CNetPrefix> prefixes;
    for (const std::string& strEntry : ListEntries(strList)) {
        CNetPrefix prefix;
        const std::string strError = ParseNetPrefix(strEntry, prefix);
        if (strError.empty())
            prefixes.push_back(prefix);
        else if (IsNetworkText(strEntry))
            invalid.push_back("\"" + strEntry + "\": " + strError + "; it is ignored.");
        else  // "is not an IPv4 address", or IPv6 for a text with ":"
            invalid.push_back(strError + " and is ignored.");
    }
    return prefixes;
}

bool HasAddress(const std::vector<CNetPrefix>& prefixes, const CNetAddress& address) {
    return std::any_of(prefixes.begin(), prefixes.end(),
                       [&](const CNetPrefix& prefix) { return prefix.Contains(address); });
}
}  // namespace

std::vector<std::string> Settings::SetProxyFrom(const std::string& strList) {
    std::vector<std::string> invalid;
    std::vector<CNetPrefix> addresses = ParseAddressList(strList, invalid);
    ProxyFrom = strList;
    m_proxyFrom.swap(addresses);
    return invalid;
}

bool Settings::IsProxyFrom(const CNetAddress& address) const {
    return HasAddress(m_proxyFrom, address);
}

std::vector<std::string> Settings::SetMonitorFrom(const std::string& strList) {
    std::vector<std::string> invalid;
    std::vector<CNetPrefix> addresses = ParseAddressList(strList, invalid);
    MonitorFrom = strList;
    m_bMonitorFromSet = !addresses.empty() || !invalid.empty();
    m_monitorFrom.swap(addresses);
    return invalid;
}

// A list whose every entry was invalid still restricts: it lets nobody in, not everybody.
bool Settings::IsMonitorFrom(const CNetAddress& address) const {
    return !m_bMonitorFromSet || HasAddress(m_monitorFrom, address);
}

bool Settings::IsMonitorFrom(std::optional<std::uint32_t> address) const {
    if (address) return IsMonitorFrom(CNetAddress::FromIPv4(*address));
    return !m_bMonitorFromSet;
}
