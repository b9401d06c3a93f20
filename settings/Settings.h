// The one settings record: where the gateway listens, where the mail server is, logging, and the
// two lists (DNSBL servers and exclusions), each singly linked with the newest entry at the head.
//
// Owned by the application object for the life of the process. The UI thread writes it (the
// load, the configuration dialog); the listener thread reads it while screening. Numbers are
// atomics. Texts and both lists are guarded by m_lock, a recursive mutex: every operation below
// takes it itself, and a caller that walks a list or reads or changes a text holds it for as
// long as it does. Hold it for short work only, never across a DNS query or a call into the UI.
// A whole rebuild (load) holds it throughout, so a screening sees the old lists or the new ones.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
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
    std::atomic<std::int32_t> m_nCatches{0};  // read by the monitor window without the lock
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

class Settings {
public:
    Settings() = default;
    ~Settings();
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    mutable std::recursive_mutex m_lock;

    std::string LogFileName;
    std::atomic<std::int32_t> RunAsService{0};
    std::int32_t m_nLastExclusionId = 0;
    std::int32_t m_nLastDnsblId = 0;
    CDnsblServer* DNSBL_Servers = nullptr;
    CExclusion* Exclusions = nullptr;
    std::atomic<std::int32_t> PortOut{25};
    std::atomic<std::int32_t> PortIn{25};
    std::string MailServer;
    std::atomic<std::int32_t> EnableLogging{0};

    // Raised by every clear, so that work begun on the old entries can tell they are gone.
    std::atomic<std::uint32_t> m_nListGeneration{0};
    // Raised by every change screening must see (adds, clears, ListsChanged), so that the
    // screening policy compiled from the lists knows when it is out of date.
    std::atomic<std::uint64_t> m_nListVersion{0};
    // Called by whoever changes an entry in place (its mark or text), under the lock.
    void ListsChanged() { ++m_nListVersion; }

    // The metrics endpoint, switched on in the hive only (MetricsPort 0 is off); the
    // configuration dialog never shows these and its save leaves them as the hive holds them.
    static constexpr const char* kDefaultMetricsAddress = "127.0.0.1";
    std::atomic<std::int32_t> MetricsPort{0};
    std::string MetricsAddress{kDefaultMetricsAddress};
    // Options a busy site switches on in the hive; the configuration dialog never shows them and
    // its save leaves them as the hive holds them. ConcurrentScreening: screen without blocking
    // the listener. ProxyFrom: the load balancers (IPv4 or IPv6, comma-separated) whose
    // connections start with a PROXY protocol header; m_proxyFrom holds them parsed.
    // MonitorFrom: the only addresses (IPv4 or IPv6, comma-separated) whose "MONITOR" line makes
    // a monitor; empty lets anyone in, and m_monitorFrom holds them parsed. Either list may name
    // networks ("10.0.0.0/8", "2001:db8::/32").
    std::atomic<std::int32_t> ConcurrentScreening{0};
    std::string ProxyFrom;
    std::vector<CNetPrefix> m_proxyFrom;
    std::string MonitorFrom;
    std::vector<CNetPrefix> m_monitorFrom;
    bool m_bMonitorFromSet = false;  // any entry given, valid or not
    // Screening beyond the plain rule, set in the hive only and kept by the dialog's save:
    // DnsblThreshold, the sum of the listing zones' weights that rejects a client (below 1
    // counts as 1); ZoneCheckMinutes, how often every active zone is tested (0: never);
    // DnsblCacheSeconds, the longest an answer is kept (0: none is).
    std::atomic<std::int32_t> DnsblThreshold{1};
    std::atomic<std::int32_t> ZoneCheckMinutes{0};
    std::atomic<std::int32_t> DnsblCacheSeconds{0};
    // Client addresses end to end, set in the hive only and kept by the dialog's save: ListenV6,
    // nonzero to listen on [::]:PortIn too (IPv6 only, beside the IPv4 socket); ProxyTo, 1 or 2
    // for a PROXY protocol header of that version first on every channel to the mail server,
    // naming the client (any other value sends none).
    std::atomic<std::int32_t> ListenV6{0};
    std::atomic<std::int32_t> ProxyTo{0};
    // Defences that need no list, set in the hive only and kept by the dialog's save (0: off):
    // GreetWait, the seconds a client waits in silence before its channel is opened (one that
    // talks first is refused); GreetPassHours, how long a client that waited skips the wait
    // (absent: 24); ClientConnectionLimit and ClientConnectionRate, the connections one client
    // (an IPv6 one by its /64) may hold at once and open per minute; DeferOnDnsFailure, nonzero
    // to defer a client with a 451 when a zone asked about it could not answer.
    static constexpr std::int32_t kMaxGreetWait = 300;
    static constexpr std::int32_t kDefaultGreetPassHours = 24;
    std::atomic<std::int32_t> GreetWait{0};
    std::atomic<std::int32_t> GreetPassHours{kDefaultGreetPassHours};
    std::atomic<std::int32_t> ClientConnectionLimit{0};
    std::atomic<std::int32_t> ClientConnectionRate{0};
    std::atomic<std::int32_t> DeferOnDnsFailure{0};

    void AddDnsblServer(std::string strName, std::int32_t bActive);
    void AddExclusion(const std::string& strAddress, std::int32_t bActive);
    CDnsblServer* FindDnsblServer(std::int32_t nId) const;
    CExclusion* FindExclusion(std::int32_t nId) const;
    void ClearDnsblServers();
    void ClearExclusions();

    // Copies of the texts, taken under the lock.
    std::string GetMailServer() const;
    std::string GetLogFileName() const;
    void SetMailServer(const std::string& strValue);
    void SetLogFileName(const std::string& strValue);
    std::string GetMetricsAddress() const;

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
