#include "gateway/ClientIntake.h"

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
    if (!m_core.m_settings.IsProxyFrom(client.m_address)) return Screen(client);
    client.ReadProxyHeader([this, &client](const CProxyHeader& header, std::string strRest) {
        OnHeader(client, header, std::move(strRest));
    });
}

// A LOCAL or UNKNOWN header keeps the connection's own address.
void CClientIntake::OnHeader(CClientSocket& client, const CProxyHeader& header,
                             std::string strRest) {
    if (header.eParse != EProxyParse::Complete) return Drop(client);
    client.TakeProxySource(header, std::move(strRest));
    Screen(client);
}

void CClientIntake::Screen(CClientSocket& client) {
    auto onVerdict = [this, &client](int nListings) { Decide(client, nListings); };
    if (m_pResolver != nullptr && m_core.m_settings.ConcurrentScreening != 0) {
        client.m_pScreening =
            m_core.m_screening.StartConcurrent(client.m_address, *m_pResolver, onVerdict);
        return;
    }
    m_core.m_screening.Start(client.m_address, onVerdict);
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
        sockaddr_storage mailServer{};
        const bool bResolved = core.m_mailServer.For(core.m_settings.GetMailServer(), mailServer);
        client.StartRelay(bResolved ? &mailServer : nullptr, core.m_settings.PortOut,
                          core.m_settings.ProxyTo);
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
