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
// Each client is screened and relayed with the configuration it took at its accept. Without a
// resolver, screening always blocks.
// Failures are those of its parts: DNS failures are never listings; nothing is reported here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class CClientSocket;
struct CGatewayContext;
class CLoopResolver;
struct CProxyHeader;

class CClientIntake {
public:
    CClientIntake(CGatewayContext& context, CLoopResolver* pResolver,
                  std::function<void()> onDecided)
        : m_context(context), m_pResolver(pResolver), m_onDecided(std::move(onDecided)) {}

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
    void Decide(CClientSocket& client, int nListings);
    void Drop(CClientSocket& client);
    void Decided();

    CGatewayContext& m_context;
    CLoopResolver* m_pResolver;
    std::function<void()> m_onDecided;
    size_t m_nUndecided = 0;
    std::uint64_t m_nAccepted = 0;
};
