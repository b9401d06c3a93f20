// CClientIntake: one accepted client's road from the accept to its verdict: the PROXY header when
// it comes from a trusted load balancer, screening (blocking, or on the listener's resolver with
// ConcurrentScreening), then the verdict: REJ, the rejection line and the 550; or the channel
// and "Accepted"; or, for a PROXY header that fails, "Dropped (Invalid PROXY Header)" and the
// close. Each verdict ends with the monitors' status lines and the monitor refresh, as every
// accept notification does, and then with the bytes that came after a PROXY header.
//
// Owned by the listener thread (CListenThread), not by a listening socket, so that clients still
// reading their PROXY header or awaiting a concurrent screening get their verdicts after the
// socket has moved to another port. Used on the listener thread only. It counts the clients
// accepted and not yet decided, and tells its owner through onDecided whenever one is decided,
// so that accepting can pause while too many wait, and numbers the clients of every listening
// socket in one sequence, so that their order (newest first) holds across sockets and moves.
// Each client is screened, judged and relayed with the configuration it took at its accept.
// Without a resolver, screening always blocks.
// The defences that need no list (CClientDefences) act here too, each only when its value is set:
// a client over a per-client limit gets the 421 line and the close before anything else ("Deferred
// (Too Many Connections)", at most once a minute per client); a client that must wait in silence
// first (GreetWait) is screened meanwhile, its relay held until the wait has passed, and refused
// with the 550 talk-first line when it sends anything but a monitor's identification ("Rejected
// (Talked First)", REJ) or closed when it leaves ("Closed (Left Before the Greeting)"); a client
// no zone listed while one could not answer gets the 451 line (DeferOnDnsFailure, "Deferred
// (DNSBL Not Answering)"). A client whose verdict is in counts as decided while it still waits.
// Failures are those of its parts: DNS failures are never listings; nothing is reported here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "gateway/ClientDefences.h"
#include "gateway/GreetWait.h"
#include "gateway/ScreeningMetrics.h"

class CClientSocket;
struct CGatewayContext;
class CLoopResolver;
struct CProxyHeader;

class CClientIntake {
public:
    CClientIntake(CGatewayContext& context, CLoopResolver* pResolver,
                  std::function<void()> onDecided);

    // An accepted client, just added to the live connections.
    void Take(CClientSocket& client);
    size_t Undecided() const { return m_nUndecided; }
    // The next client's place in the order of accepts.
    std::uint64_t NextSequence() { return ++m_nAccepted; }
    // The monitors' status lines and the monitor window's refresh.
    void TellMonitors();

private:
    void OnHeader(CClientSocket& client, const CProxyHeader& header, std::string strRest);
    void Screen(CClientSocket& client);
    void Decide(CClientSocket& client, const CScreeningVerdict& verdict);
    void Relay(CClientSocket& client, bool bUndecided);
    void Drop(CClientSocket& client);
    void Limit(CClientSocket& client, bool bLog);
    void Turn(CClientSocket& client, CScreeningMetrics::ClientOutcome eOutcome,
              const std::string& strOutcome, const char* pLine);
    bool Wait(CClientSocket& client);
    void OnWaitOver(CClientSocket& client, EGreetOutcome eOutcome, std::string strBlock);
    void RefuseTalkedFirst(CClientSocket& client);
    void Decided();

    CGatewayContext& m_context;
    CLoopResolver* m_pResolver;
    std::function<void()> m_onDecided;
    size_t m_nUndecided = 0;
    std::uint64_t m_nAccepted = 0;
    CClientDefences m_defences;
};
