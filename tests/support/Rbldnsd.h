// A real DNSBL server for tests: rbldnsd serving zones from a temporary folder on a free UDP
// port of 127.0.0.1.
//
// Usage: add zones, Start(), point the resolver at Nameserver() (for example with
// setenv("TARNWICK_NAMESERVERS", ...) before the query), read QueriedNames() to see what was
// asked. The server is stopped and its folder removed when the object goes. Test thread only.
#pragma once

#include <string>
#include <vector>

#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

class CRbldnsd {
public:
    CRbldnsd() = default;
    ~CRbldnsd() { Stop(); }
    CRbldnsd(const CRbldnsd&) = delete;
    CRbldnsd& operator=(const CRbldnsd&) = delete;

    // Lists the addresses under strZone (dotted IPv4 ones, and IPv6 ones or prefixes such as
    // 2001:db8::5 or 2001:db8:1::/48); a query for one of them (reversed, under the zone) is
    // answered with the A record strAnswer, anything else in the zone with NXDOMAIN. Adding the
    // same zone again adds to it, so one zone can give several answers. A zone with no addresses
    // exists and lists nothing.
    void AddZone(const std::string& strZone, const std::vector<std::string>& addresses,
                 const std::string& strAnswer = "127.0.0.2");
    // Answers the exact names (relative to strZone, e.g. "40.30.20" under zone "10") with the
    // A record strAnswer.
    void AddNames(const std::string& strZone, const std::vector<std::string>& names,
                  const std::string& strAnswer = "127.0.0.2");

    // Serves strZone from an ip4set dataset of exactly this text, rbldnsd's own format ("$TTL 3",
    // "$SOA ...", ":127.0.0.4:" and address lines); the dataset's name, for RewriteDataset.
    std::string AddDataset(const std::string& strZone, const std::string& strText);
    // Gives a dataset a new text and has the running server load it (SIGHUP), waiting until it
    // has; false when it did not.
    bool RewriteDataset(const std::string& strDataset, const std::string& strText);

    // Starts rbldnsd with the zones added so far and waits until it answers. False when it
    // could not be started; the reason is in Output().
    bool Start();
    void Stop();

    int Port() const { return m_nPort; }
    // "127.0.0.1:PORT", as TARNWICK_NAMESERVERS takes it.
    std::string Nameserver() const;
    // Every name asked so far, oldest first (from rbldnsd's query log), without a final dot.
    std::vector<std::string> QueriedNames() const;
    // rbldnsd's own messages.
    std::string Output() const;

private:
    std::string WriteZoneFile(const std::string& strContent);
    bool StartOn(int nPort);
    bool WaitUntilAnswering(int nTimeoutMs);

    CTempDir m_dir;
    CChildProcess m_process;
    std::vector<std::string> m_zoneSpecs;
    int m_nFiles = 0;
    int m_nPort = 0;
};
