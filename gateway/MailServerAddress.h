// CMailServerAddress: the mail server's IPv4 address, resolved once per setting instead of once
// per client, so that the listener thread never waits for a name lookup while clients come.
//
// Owned by the application object's gateway share. Resolve runs on the UI thread when the
// settings are loaded and before the listener starts; For runs on the listener thread for each
// channel and finds the address ready, unless the name has changed without a load (then it is
// resolved there, once). A dotted address needs no lookup. A name that does not resolve is kept
// as such: the channels then fail as an unreachable host would, until the next load.
#pragma once

#include <netinet/in.h>

#include <mutex>
#include <string>

class CMailServerAddress {
public:
    void Resolve(const std::string& strHost);
    // The address for strHost (the current setting): false when that name does not resolve.
    bool For(const std::string& strHost, in_addr& address);

private:
    std::mutex m_lock;
    std::string m_strHost;
    bool m_bKnown = false;  // m_strHost has been resolved
    bool m_bResolved = false;
    in_addr m_address{};
};
