#include "gateway/ClientIntake.h"

#include <cstring>

#include "gateway/ClientSocket.h"
#include "gateway/GatewayCore.h"
#include "gateway/ListenSocket.h"

namespace {
std::string ConnectionText(const CClientSocket& client, const std::string& strOutcome) {
    return "Connection from " + client.AddressText() + " " + strOutcome;
}
}  // namespace

void CClientIntake::Take(CClientSocket& client) {
    ++m_nUndecided;
    if (!m_core.m_settings.IsProxyFrom(client.m_addrPeer.sin_addr.s_addr)) return Screen(client);
    client.ReadProxyHeader([this, &client](const CProxyHeader& header, std::string strRest) {
        OnHeader(client, header, std::move(strRest));
    });
}

// A LOCAL or UNKNOWN header keeps the connection's own address; an IPv6 source has nothing to
// ask an IPv4 zone and is relayed unscreened.
void CClientIntake::OnHeader(CClientSocket& client, const CProxyHeader& header,
                             std::string strRest) {
    if (header.eParse != EProxyParse::Complete) return Drop(client);
    client.TakeProxySource(header, std::move(strRest));
    if (header.eSource == EProxySource::IPv6) return Decide(client, 0);
    Screen(client);
}

void CClientIntake::Screen(CClientSocket& client) {
    std::array<std::uint8_t, 4> address{};
    std::memcpy(address.data(), &client.m_addrPeer.sin_addr, address.size());
    auto onVerdict = [this, &client](int nListings) { Decide(client, nListings); };
    if (m_pResolver != nullptr && m_core.m_settings.ConcurrentScreening != 0) {
        client.m_pScreening = m_core.m_screening.StartConcurrent(address, *m_pResolver, onVerdict);
        return;
    }
    m_core.m_screening.Start(address, onVerdict);
}

// A concurrent screening calls this as the last thing it does, so its object may go here.
void CClientIntake::Decide(CClientSocket& client, int nListings) {
    client.m_pScreening.reset();
    CGatewayCore& core = m_core;
    if (nListings > 0) {
        core.m_nRejected += 1;
        core.LogActivity(ConnectionText(
            client, "Rejected (Blacklist Listings: " + std::to_string(nListings) + ")"));
        client.Reject(CListenSocket::kRejectLine);
    } else {
        in_addr mailServer{};
        const bool bResolved = core.m_mailServer.For(core.m_settings.GetMailServer(), mailServer);
        client.StartRelay(bResolved ? &mailServer : nullptr, core.m_settings.PortOut);
        core.LogActivity(ConnectionText(client, "Accepted"));
    }
    TellMonitors();
    client.DeliverHeldBlock();
    Decided();
}

// The balancer's own address is logged: the header that would name the client is what failed.
void CClientIntake::Drop(CClientSocket& client) {
    m_core.LogActivity(ConnectionText(client, "Dropped (Invalid PROXY Header)"));
    client.Drop();
    TellMonitors();
    Decided();
}

void CClientIntake::TellMonitors() {
    m_core.SendMonitorStatus();
    m_core.RefreshMonitor();
}

void CClientIntake::Decided() {
    --m_nUndecided;
    if (m_onDecided) m_onDecided();
}
