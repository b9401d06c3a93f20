#include "gateway/ClientIntake.h"

#include "gateway/ClientSocket.h"
#include "gateway/GatewayContext.h"
#include "gateway/ListenSocket.h"

namespace {
std::string ConnectionText(const CClientSocket& client, const std::string& strOutcome) {
    return "Connection from " + client.AddressText() + " " + strOutcome;
}
}  // namespace

void CClientIntake::Take(CClientSocket& client) {
    ++m_nUndecided;
    if (!client.m_pConfig->settings.IsProxyFrom(client.m_address)) return Screen(client);
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
    const CGatewayConfig& config = *client.m_pConfig;
    if (m_pResolver != nullptr && config.settings.ConcurrentScreening != 0) {
        client.m_pScreening = m_context.screening.StartConcurrent(client.m_address, config.pPolicy,
                                                                  *m_pResolver, onVerdict);
        return;
    }
    m_context.screening.Start(client.m_address, config.pPolicy, onVerdict);
}

// A concurrent screening calls this as the last thing it does, so its object may go here.
void CClientIntake::Decide(CClientSocket& client, int nListings) {
    client.m_pScreening.reset();
    if (nListings > 0) {
        m_context.counters.m_nRejected += 1;
        m_context.log.LogActivity(ConnectionText(
            client, "Rejected (Blacklist Listings: " + std::to_string(nListings) + ")"));
        client.Reject(CListenSocket::kRejectLine);
    } else {
        const CGatewayConfig& config = *client.m_pConfig;
        client.StartRelay(config.MailServerAddress(), config.settings.PortOut,
                          config.settings.ProxyTo);
        m_context.log.LogActivity(ConnectionText(client, "Accepted"));
    }
    TellMonitors();
    client.DeliverHeldBlock();
    Decided();
}

// The balancer's own address is logged: the header that would name the client is what failed.
void CClientIntake::Drop(CClientSocket& client) {
    m_context.log.LogActivity(ConnectionText(client, "Dropped (Invalid PROXY Header)"));
    client.Drop();
    TellMonitors();
    Decided();
}

void CClientIntake::TellMonitors() {
    m_context.monitors.Send();
    m_context.log.RefreshMonitor();
}

void CClientIntake::Decided() {
    --m_nUndecided;
    if (m_onDecided) m_onDecided();
}
