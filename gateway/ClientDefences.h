// CClientDefences: what the defences that need no list decide for one client, from the
// configuration the client took at its accept: whether it is over a per-client limit
// (ClientConnectionLimit, ClientConnectionRate), whether it must wait in silence before its relay
// (GreetWait, skipped for GreetPassHours once it has waited), whether a first block is a monitor's
// identification rather than talking first, and whether its verdict is deferred because a zone
// could not answer (DeferOnDnsFailure).
//
// Excluded addresses and the monitors MonitorFrom names (when it names any) are never limited,
// never wait and are never deferred; a trusted load balancer is not limited itself (its clients
// are, by the address its PROXY header gives). A reload takes effect with the next client; the
// clients that passed the wait and the counts of connections stay.
//
// Owned by the listener thread's client intake and used on that thread only. Nothing fails.
#pragma once

#include <string>

#include "gateway/ClientLimiter.h"
#include "gateway/DnsblLookup.h"
#include "gateway/GatewayConfig.h"
#include "gateway/GreetPassList.h"
#include "settings/Settings.h"

class CClientDefences {
public:
    static constexpr const char* kDeferLine =
        "451 - Tarnwick: Block Lists Not Answering. Try Again Later\n";

    // Counts a new connection from the address, or refuses it (see CClientLimiter).
    CClientLimiter::CAdmission Admit(const CNetAddress& address, const CGatewayConfig& config);
    // The client must wait GreetWait seconds before its relay.
    bool MustWait(const CNetAddress& address, const CGatewayConfig& config);
    // The client waited the whole time without a word.
    void Passed(const CNetAddress& address);
    // The block is a monitor's identification from an address that may identify itself.
    static bool IsMonitorIdentification(const CNetAddress& address, const std::string& strBlock,
                                        const CGatewayConfig& config);
    // A client no zone listed is deferred: a zone asked about it could not answer.
    static bool Defers(const CNetAddress& address, const CScreeningVerdict& verdict,
                       const CGatewayConfig& config);
    // Any of the defences is on (the metrics then show their outcomes).
    static bool AnyOn(const CGatewayConfig& config);

private:
    static bool IsExcluded(const CNetAddress& address, const CGatewayConfig& config);
    static bool IsNamedMonitor(const CNetAddress& address, const CGatewayConfig& config);

    CGreetPassList m_passes;
    CClientLimiter m_limiter;
};
