#include "settings/Settings.h"

#include <arpa/inet.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace {
constexpr const char* kWhiteSpace = " \t\n\v\f\r";
using Guard = std::lock_guard<std::recursive_mutex>;
}  // namespace

std::string Trim(std::string& strText) {
    const size_t nLast = strText.find_last_not_of(kWhiteSpace);
    strText.erase(nLast == std::string::npos ? 0 : nLast + 1);
    strText.erase(0, strText.find_first_not_of(kWhiteSpace));
    return strText;
}

std::int32_t Atol(const std::string& strText) {
    const long nValue = std::strtol(strText.c_str(), nullptr, 10);
    return static_cast<std::int32_t>(std::clamp<long>(nValue, INT32_MIN, INT32_MAX));
}

Settings::~Settings() {
    ClearDnsblServers();
    ClearExclusions();
}

void Settings::AddDnsblServer(std::string strName, std::int32_t bActive) {
    Trim(strName);
    if (strName.empty()) return;
    Guard guard(m_lock);
    auto* pEntry = new CDnsblServer(++m_nLastDnsblId, std::move(strName), bActive);
    pEntry->m_pNext = DNSBL_Servers;
    DNSBL_Servers = pEntry;
    ListsChanged();
}

void Settings::AddExclusion(const std::string& strAddress, std::int32_t bActive) {
    Guard guard(m_lock);
    auto* pEntry = new CExclusion(++m_nLastExclusionId, strAddress, bActive);
    pEntry->m_pNext = Exclusions;
    Exclusions = pEntry;
    ListsChanged();
}

CDnsblServer* Settings::FindDnsblServer(std::int32_t nId) const {
    Guard guard(m_lock);
    for (CDnsblServer* p = DNSBL_Servers; p; p = p->m_pNext)
        if (p->m_nId == nId) return p;
    return nullptr;
}

CExclusion* Settings::FindExclusion(std::int32_t nId) const {
    Guard guard(m_lock);
    for (CExclusion* p = Exclusions; p; p = p->m_pNext)
        if (p->m_nId == nId) return p;
    return nullptr;
}

void Settings::ClearDnsblServers() {
    Guard guard(m_lock);
    ++m_nListGeneration;
    ListsChanged();
    while (CDnsblServer* pHead = DNSBL_Servers) {
        DNSBL_Servers = pHead->m_pNext;
        delete pHead;
    }
}

void Settings::ClearExclusions() {
    Guard guard(m_lock);
    ++m_nListGeneration;
    ListsChanged();
    while (CExclusion* pHead = Exclusions) {
        Exclusions = pHead->m_pNext;
        delete pHead;
    }
}

std::string Settings::GetMailServer() const {
    Guard guard(m_lock);
    return MailServer;
}

std::string Settings::GetLogFileName() const {
    Guard guard(m_lock);
    return LogFileName;
}

void Settings::SetMailServer(const std::string& strValue) {
    Guard guard(m_lock);
    MailServer = strValue;
}

void Settings::SetLogFileName(const std::string& strValue) {
    Guard guard(m_lock);
    LogFileName = strValue;
}

std::string Settings::GetMetricsAddress() const {
    Guard guard(m_lock);
    return MetricsAddress;
}

std::vector<std::string> AddressListEntries(const std::string& strList) {
    std::vector<std::string> entries;
    for (size_t nStart = 0; nStart <= strList.size();) {
        const size_t nComma = std::min(strList.find(',', nStart), strList.size());
        std::string strEntry = strList.substr(nStart, nComma - nStart);
        nStart = nComma + 1;
        if (!Trim(strEntry).empty()) entries.push_back(strEntry);
    }
    return entries;
}

namespace {
// The entries of a comma-separated list of addresses and networks; for each one that cannot be
// read, a report of it goes to invalid.
std::vector<CNetPrefix> ParseAddressList(const std::string& strList,
                                         std::vector<std::string>& invalid) {
    std::vector<CNetPrefix> prefixes;
    for (const std::string& strEntry : AddressListEntries(strList)) {
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
    Guard guard(m_lock);
    ProxyFrom = strList;
    m_proxyFrom.swap(addresses);
    return invalid;
}

bool Settings::IsProxyFrom(const CNetAddress& address) const {
    Guard guard(m_lock);
    return HasAddress(m_proxyFrom, address);
}

std::vector<std::string> Settings::SetMonitorFrom(const std::string& strList) {
    std::vector<std::string> invalid;
    std::vector<CNetPrefix> addresses = ParseAddressList(strList, invalid);
    Guard guard(m_lock);
    MonitorFrom = strList;
    m_bMonitorFromSet = !addresses.empty() || !invalid.empty();
    m_monitorFrom.swap(addresses);
    return invalid;
}

// A list whose every entry was invalid still restricts: it lets nobody in, not everybody.
bool Settings::IsMonitorFrom(const CNetAddress& address) const {
    Guard guard(m_lock);
    return !m_bMonitorFromSet || HasAddress(m_monitorFrom, address);
}

bool Settings::IsMonitorFrom(std::optional<std::uint32_t> address) const {
    if (address) return IsMonitorFrom(CNetAddress::FromIPv4(*address));
    Guard guard(m_lock);
    return !m_bMonitorFromSet;
}
