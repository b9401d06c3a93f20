#include "gateway/ClientIntake.h"

#include "gateway/ClientSocket.h"
#include "gateway/GatewayContext.h"
#include "gateway/ListenSocket.h"
#include "platform/LoopDeadline.h"

namespace {
std::string ConnectionText(const CClientSocket& client, const std::string& strOutcome) {
    return "Connection from " + client.AddressText() + " " + strOutcome;
}
}  // namespace

CClientIntake::CClientIntake(CGatewayContext& context, CLoopResolver* pResolver,
                             std::function<void()> onDecided)
    : m_context(context), m_pResolver(pResolver), m_onDecided(std::move(onDecided)) {}

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
    const CGatewayConfig& config = *client.m_pConfig;
    CClientLimiter::CAdmission admission = m_defences.Admit(client.m_address, config);
    if (!admission.bAdmitted) return Limit(client, admission.bLog);
    client.m_limitSlot = std::move(admission.slot);
    if (m_defences.MustWait(client.m_address, config) && !Wait(client)) return;
    auto onVerdict = [this, &client](const CScreeningVerdict& verdict) { Decide(client, verdict); };
    if (m_pResolver != nullptr && config.settings.ConcurrentScreening != 0) {
        client.m_pScreening = m_context.screening.StartConcurrent(client.m_address, config.pPolicy,
                                                                  *m_pResolver, onVerdict);
        return;
    }
    m_context.screening.Start(client.m_address, config.pPolicy, onVerdict);
}

// A concurrent screening calls this as the last thing it does, so its object may go here.
// A client still in the talk-first wait keeps its relay until the wait has passed; it is
// decided all the same, so that waiting clients do not hold up accepting.
void CClientIntake::Decide(CClientSocket& client, const CScreeningVerdict& verdict) {
    client.m_pScreening.reset();
    if (verdict.nListings > 0) {
        client.m_pGreetWait.reset();
        m_context.counters.m_nRejected += 1;
        m_context.log.LogActivity(ConnectionText(
            client, "Rejected (Blacklist Listings: " + std::to_string(verdict.nListings) + ")"));
        client.Reject(CListenSocket::kRejectLine);
    } else if (CClientDefences::Defers(client.m_address, verdict, *client.m_pConfig)) {
        client.m_pGreetWait.reset();
        Turn(client, CScreeningMetrics::kDeferred, "Deferred (DNSBL Not Answering)",
             CClientDefences::kDeferLine);
    } else if (client.m_pGreetWait != nullptr) {
        client.m_pGreetWait->HoldVerdict();
        return Decided();
    } else {
        return Relay(client, true);
    }
    TellMonitors();
    Decided();
}

// The channel, the line, the monitors, then what the client sent before its verdict.
void CClientIntake::Relay(CClientSocket& client, bool bUndecided) {
    const CGatewayConfig& config = *client.m_pConfig;
    client.StartRelay(config.MailServerAddress(), config.settings.PortOut, config.settings.ProxyTo);
    m_context.log.LogActivity(ConnectionText(client, "Accepted"));
    TellMonitors();
    client.DeliverHeldBlock();
    if (bUndecided) Decided();
}

// The balancer's own address is logged: the header that would name the client is what failed.
void CClientIntake::Drop(CClientSocket& client) {
    m_context.log.LogActivity(ConnectionText(client, "Dropped (Invalid PROXY Header)"));
    client.Drop();
    TellMonitors();
    Decided();
}

// Over a per-client limit: the line and the close, nothing more (no lookup, no channel).
void CClientIntake::Limit(CClientSocket& client, bool bLog) {
    m_context.screening.Metrics().CountClient(CScreeningMetrics::kLimited);
    if (bLog) m_context.log.LogActivity(ConnectionText(client, "Deferred (Too Many Connections)"));
    client.Reject(CClientLimiter::kTooManyLine);
    TellMonitors();
    Decided();
}

// A client turned away by a defence: counted, logged, answered with its line and closed.
void CClientIntake::Turn(CClientSocket& client, CScreeningMetrics::ClientOutcome eOutcome,
                         const std::string& strOutcome, const char* pLine) {
    m_context.screening.Metrics().CountClient(eOutcome);
    m_context.log.LogActivity(ConnectionText(client, strOutcome));
    client.Reject(pLine);
}

// False when the client has been refused: the bytes it sent after its PROXY header came before
// any greeting, and are no monitor's identification.
bool CClientIntake::Wait(CClientSocket& client) {
    if (!client.HeldBlock().empty()) {
        if (CClientDefences::IsMonitorIdentification(client.m_address, client.HeldBlock(),
                                                     *client.m_pConfig))
            return true;
        RefuseTalkedFirst(client);
        TellMonitors();
        Decided();
        return false;
    }
    client.StartGreetWait(client.m_pConfig->settings.GreetWait * 1000,
                          [this, &client](EGreetOutcome eOutcome, std::string strBlock) {
                              OnWaitOver(client, eOutcome, std::move(strBlock));
                          });
    return true;
}

// The wait is over: called from inside it, which touches nothing after. A monitor's
// identification is no talking: it waits for the verdict with its bytes held, as after a PROXY
// header. Unless the verdict is in, the client is still undecided, and its screening goes on.
void CClientIntake::OnWaitOver(CClientSocket& client, EGreetOutcome eOutcome,
                               std::string strBlock) {
    const bool bVerdictIn = client.m_pGreetWait != nullptr && client.m_pGreetWait->IsVerdictHeld();
    client.EndGreetWait(std::move(strBlock));
    const bool bTalked = eOutcome == EGreetOutcome::Spoke &&
                         !CClientDefences::IsMonitorIdentification(
                             client.m_address, client.HeldBlock(), *client.m_pConfig);
    if (eOutcome == EGreetOutcome::Waited) m_defences.Passed(client.m_address);
    if (bTalked) {
        client.m_pScreening.reset();
        RefuseTalkedFirst(client);
    } else if (eOutcome == EGreetOutcome::Left) {
        client.m_pScreening.reset();
        m_context.log.LogActivity(ConnectionText(client, "Closed (Left Before the Greeting)"));
        client.Drop();
    } else {
        if (bVerdictIn) Relay(client, false);
        return;
    }
    TellMonitors();
    if (!bVerdictIn) Decided();
}

void CClientIntake::RefuseTalkedFirst(CClientSocket& client) {
    m_context.counters.m_nRejected += 1;
    Turn(client, CScreeningMetrics::kTalkedFirst, "Rejected (Talked First)",
         CGreetWait::kTalkedFirstLine);
}

void CClientIntake::TellMonitors() {
    m_context.monitors.Send();
    m_context.log.RefreshMonitor();
}

void CClientIntake::Decided() {
    --m_nUndecided;
    if (m_onDecided) m_onDecided();
}
