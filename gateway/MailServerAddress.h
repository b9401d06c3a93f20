// CMailServerAddress: the mail server's address, resolved once per setting instead of once per
// client, so that the listener thread never waits for a name lookup while clients come.
//
// Owned by the gateway (CGatewayCore), which resolves the name whenever it publishes a loaded
// configuration (on the UI thread; For resolves a name it has not seen) and puts the address in
// it, so that every channel finds its address ready. A dotted IPv4 address or an IPv6 address
// ("::1", "2001:db8::25") needs no lookup; a name is looked up for its IPv4 address. A name that
// does not resolve is kept as such: the channels then fail as an unreachable host would, until the
// next load.
#pragma once

#include <sys/socket.h>

#include <mutex>
#include <string>

class CMailServerAddress {
public:
    void Resolve(const std::string& strHost);
    // The address for strHost (the current setting), of its family, port 0: false when that
    // name does not resolve.
    bool For(const std::string& strHost, sockaddr_storage& address);

private:
    std::mutex m_lock;
    std::string m_strHost;
    bool m_bKnown = false;  // m_strHost has been resolved
    bool m_bResolved = false;
    sockaddr_storage m_address{};
};
