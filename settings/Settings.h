// The one settings record: where the gateway listens, where the mail server is, logging, and the
// two lists (DNSBL servers and exclusions), each singly linked with the newest entry at the head.
//
// A plain value with no lock: whoever holds one owns it. The application object keeps the record
// the load fills and the configuration dialog edits (a copy of it) on the UI thread; what the
// listener thread reads is a copy inside a published, immutable configuration, never this one.
// Copying copies both lists, entry by entry in their order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "settings/NetPrefix.h"

class CDnsblServer {
public:
    CDnsblServer(std::int32_t nId, std::string strName, std::int32_t bActive)
        : m_nId(nId), m_strName(std::move(strName)), m_bActive(bActive) {}
    virtual ~CDnsblServer() = default;

    std::int32_t m_nId;
    std::string m_strName;  // the zone text as entered (settings/DnsblZone.h); empty: removed
    std::int32_t m_bActive;
    CDnsblServer* m_pNext = nullptr;
};

class CExclusion {
public:
    CExclusion(std::int32_t nId, std::string strAddress, std::int32_t bActive)
        : m_nId(nId), m_strAddress(std::move(strAddress)), m_bActive(bActive) {}
    virtual ~CExclusion() = default;

    std::int32_t m_nId;
    std::string m_strAddress;  // an address or network as given (NetPrefix.h); empty: removed
    std::int32_t m_bActive;
    CExclusion* m_pNext = nullptr;
};

// Strips space, tab, LF, VT, FF and CR at both ends, in place, and returns a copy.
std::string Trim(std::string& strText);

// The entries of a comma-separated list, each trimmed as Trim does; empty ones are left out.
std::vector<std::string> ListEntries(const std::string& strList);

// atol with a 32-bit long: leading white space, a sign, digits up to the first other
// character, no digits give 0, and a number beyond the range gives the nearest limit (a plain
// cast would keep the low bits, so 4294967321 would read as port 25).
std::int32_t Atol(const std::string& strText);

// The head of a singly linked list of entries that owns them: it reads and is assigned like the
// head pointer itself, frees its entries with it, and copies them, in their order, with it.
template <class TEntry>
class CEntryList {
public:
    CEntryList() = default;
    ~CEntryList() { Clear(); }
    CEntryList(const CEntryList& other) : m_pHead(CopyOf(other.m_pHead)) {}
    CEntryList& operator=(const CEntryList& other) {
        if (this != &other) {
            Clear();
            m_pHead = CopyOf(other.m_pHead);
        }
        return *this;
    }
    CEntryList& operator=(TEntry* pHead) {
        m_pHead = pHead;
        return *this;
    }
    operator TEntry*() const { return m_pHead; }
    TEntry* operator->() const { return m_pHead; }

    void Clear() {
        while (TEntry* pHead = m_pHead) {
            m_pHead = pHead->m_pNext;
            delete pHead;
        }
    }

private:
    static TEntry* CopyOf(const TEntry* pHead) {
        TEntry* pCopy = nullptr;
        TEntry** ppTail = &pCopy;
        for (const TEntry* p = pHead; p != nullptr; p = p->m_pNext) {
            *ppTail = new TEntry(*p);
            (*ppTail)->m_pNext = nullptr;
            ppTail = &(*ppTail)->m_pNext;
        }
        return pCopy;
    }

    TEntry* m_pHead = nullptr;
};

class Settings {
public:
    std::string LogFileName;
    std::int32_t RunAsService = 0;
    std::int32_t m_nLastExclusionId = 0;
    std::int32_t m_nLastDnsblId = 0;
    CEntryList<CDnsblServer> DNSBL_Servers;
    CEntryList<CExclusion> Exclusions;
    std::int32_t PortOut = 25;
    std::int32_t PortIn = 25;
    std::string MailServer;
    std::int32_t EnableLogging = 0;

    // The metrics endpoint, switched on in the hive only (MetricsPort 0 is off); the
    // configuration dialog never shows these and its save leaves them as the hive holds them.
    static constexpr const char* kDefaultMetricsAddress = "127.0.0.1";
    std::int32_t MetricsPort = 0;
    std::string MetricsAddress{kDefaultMetricsAddress};
    // Options a busy site switches on in the hive; the configuration dialog never shows them and
    // its save leaves them as the hive holds them. ConcurrentScreening: screen without blocking
    // the listener. ProxyFrom: the load balancers (IPv4 or IPv6, comma-separated) whose
    // connections start with a PROXY protocol header; m_proxyFrom holds them parsed.
    // MonitorFrom: the only addresses (IPv4 or IPv6, comma-separated) whose "MONITOR" line makes
    // a monitor; empty lets anyone in, and m_monitorFrom holds them parsed. Either list may name
    // networks ("10.0.0.0/8", "2001:db8::/32").
    std::int32_t ConcurrentScreening = 0;
    std::string ProxyFrom;
    std::vector<CNetPrefix> m_proxyFrom;
    std::string MonitorFrom;
    std::vector<CNetPrefix> m_monitorFrom;
    bool m_bMonitorFromSet = false;  // any entry given, valid or not
    // Screening beyond the plain rule, set in the hive only and kept by the dialog's save:
    // DnsblThreshold, the sum of the listing zones' weights that rejects a client (below 1
    // counts as 1); ZoneCheckMinutes, how often every active zone is tested (0: never);
    // DnsblCacheSeconds, the longest an answer is kept (0: none is).
    std::int32_t DnsblThreshold = 1;
    std::int32_t ZoneCheckMinutes = 0;
    std::int32_t DnsblCacheSeconds = 0;
    // Client addresses end to end, set in the hive only and kept by the dialog's save: ListenV6,
    // nonzero to listen on [::]:PortIn too (IPv6 only, beside the IPv4 socket); ProxyTo, 1 or 2
    // for a PROXY protocol header of that version first on every channel to the mail server,
    // naming the client (any other value sends none).
    std::int32_t ListenV6 = 0;
    std::int32_t ProxyTo = 0;
    // Defences that need no list, set in the hive only and kept by the dialog's save (0: off):
    // GreetWait, the seconds a client waits in silence before its channel is opened (one that
    // talks first is refused); GreetPassHours, how long a client that waited skips the wait
    // (absent: 24); ClientConnectionLimit and ClientConnectionRate, the connections one client
    // (an IPv6 one by its /64) may hold at once and open per minute; DeferOnDnsFailure, nonzero
    // to defer a client with a 451 when a zone asked about it could not answer.
    static constexpr std::int32_t kMaxGreetWait = 300;
    static constexpr std::int32_t kDefaultGreetPassHours = 24;
    std::int32_t GreetWait = 0;
    std::int32_t GreetPassHours = kDefaultGreetPassHours;
    std::int32_t ClientConnectionLimit = 0;
    std::int32_t ClientConnectionRate = 0;
    std::int32_t DeferOnDnsFailure = 0;

    void AddDnsblServer(std::string strName, std::int32_t bActive);
    void AddExclusion(const std::string& strAddress, std::int32_t bActive);
    CDnsblServer* FindDnsblServer(std::int32_t nId) const;
    CExclusion* FindExclusion(std::int32_t nId) const;
    void ClearDnsblServers();
    void ClearExclusions();

    // Takes a new ProxyFrom list; returns a report for each entry that is not an IPv4 or IPv6
    // address or network, which is left out. Blanks around an entry and empty entries do not
    // count.
    std::vector<std::string> SetProxyFrom(const std::string& strList);
    // The connection from this address is a trusted load balancer's.
    bool IsProxyFrom(const CNetAddress& address) const;
    // The same for an IPv4 address in network order.
    bool IsProxyFrom(std::uint32_t nAddress) const {
        return IsProxyFrom(CNetAddress::FromIPv4(nAddress));
    }
    // The same for MonitorFrom.
    std::vector<std::string> SetMonitorFrom(const std::string& strList);
    // A "MONITOR" line from this address may make a monitor.
    bool IsMonitorFrom(const CNetAddress& address) const;
    // The same for an IPv4 address in network order; none stands for an address in no list.
    bool IsMonitorFrom(std::optional<std::uint32_t> address) const;
};
