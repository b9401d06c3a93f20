// CListenThread: the listener thread. It owns the listening socket on PortIn, every client
// connection (CConnectionList), each of which owns its channel, and the resolver that concurrent
// screening asks; all of them are created on this thread and notified on its loop. Connections
// that have finished are freed at the end of every loop pass; when the thread ends, all of them
// are, screenings in progress with them (no verdict comes after), and then the resolver.
//
// Clients on their way to a verdict (a PROXY header, a concurrent screening) belong to the
// thread's one CClientIntake, not to a listening socket, so a move of the socket leaves them be.
//
// Made, started and stopped (a quit, then a join) by CGatewayCore on the UI thread, and given
// what it uses (CGatewayContext) at construction; every setting it reads comes from the
// configuration in force (CConfigStore), taken once per client and once per reload. When the
// listening socket on PortIn cannot be made at the start, ListenFailure says why once the start
// is over (a PortIn outside 1 to 65535 fails with the code EINVAL); its owner reports it and
// shuts the program down, and the thread runs on without a socket until stopped.
//
// With ListenV6 the thread also listens on [::]:PortIn, IPv6 alone, beside the IPv4 socket,
// once that one is open. An IPv6 socket that cannot be made is reported the same way but stops
// nothing: the gateway serves IPv4, and the next reload tries IPv6 again.
//
// With MetricsPort set, the thread also serves the metrics endpoint (CMetricsServer) on its
// loop; an endpoint that cannot be made is reported ("Creating Metrics Socket") and the gateway
// goes on without it. ApplySettings takes a reload's settings into use while every connection
// goes on: a changed PortIn moves the listening sockets (a new port that cannot be opened is
// reported and the old socket stays, to be tried again at the next reload), a changed ListenV6
// opens or closes the IPv6 socket, a changed metrics port or address re-opens the endpoint, and
// one that could not be opened is tried again.
//
// Under a service manager (NOTIFY_SOCKET), the thread tells it when the listening socket is open
// and then keeps its watchdog fed from this loop (CServiceNotifier).
//
// The thread also runs the zone checks (CZoneChecker) through its resolver: at its start, when
// CheckZones is called after a load, and every ZoneCheckMinutes.
#pragma once

#include <memory>
#include <vector>

#include "gateway/ClientIntake.h"
#include "gateway/ConnectionList.h"
#include "gateway/GatewayContext.h"
#include "gateway/ListenSocket.h"
#include "gateway/MetricsServer.h"
#include "gateway/ServiceNotifier.h"
#include "gateway/ZoneChecker.h"
#include "platform/LoopResolver.h"
#include "platform/WinThread.h"

class CListenThread : public CWinThread {
public:
    explicit CListenThread(CGatewayContext& context);
    ~CListenThread() override;

    std::unique_ptr<CListenSocket> m_pListenSocket;
    std::unique_ptr<CListenSocket> m_pListenSocket6;  // with ListenV6 only

    BOOL InitInstance() override;
    int ExitInstance() override;
    // The error code of the listening socket that could not be made at the start, or 0. Read by
    // the owner once CreateThread has returned.
    int ListenFailure() const { return m_nListenFailure; }

    void CreateListenSocket();
    void ApplySettings();
    // A round of zone checks now (with ZoneCheckMinutes set).
    void CheckZones();
    // Zone checks still waiting for their answers (listener thread only; for tests).
    size_t ZoneChecksOutstanding() const {
        return m_pZoneChecker != nullptr ? m_pZoneChecker->Outstanding() : 0;
    }
    // Frees the connections that have finished since the last call.
    void SweepConnections();
    void DeleteConnections();
    // The live connections, newest first (listener thread only; for tests).
    std::vector<CConnectionSnapshot> Snapshot() const { return m_connections.Snapshot(); }

private:
    void DeleteListenSocket();
    // A listening socket on nPort (IPv6 alone with bIPv6), or null with the failure's code in
    // nCode.
    std::unique_ptr<CListenSocket> MakeListenSocket(std::int32_t nPort, bool bIPv6, int& nCode);
    // Opens, moves or closes the IPv6 socket as ListenV6 and nPort say.
    void UpdateListenSocket6(std::int32_t nPort, bool bListenV6);
    // Moves pSocket (or opens it, when null) to nPort, keeping it where it was on a failure.
    void ReplaceListenSocket(std::unique_ptr<CListenSocket>& pSocket, std::int32_t& nSocketPort,
                             std::int32_t nPort, bool bIPv6);
    void UpdateAccepting();
    void OpenMetrics(const Settings& settings);
    std::string RenderMetrics() const;

    CGatewayContext& m_context;
    int m_nListenFailure = 0;
    std::unique_ptr<CLoopResolver> m_pResolver;  // made and destroyed on this thread
    // Made after the resolver it uses; the connections, whose screenings and header reads call
    // it, go before it.
    std::unique_ptr<CClientIntake> m_pIntake;
    std::unique_ptr<CZoneChecker> m_pZoneChecker;  // goes before the resolver
    CConnectionList m_connections;
    std::int32_t m_nListenPort = 0;
    std::int32_t m_nListenPort6 = 0;
    std::unique_ptr<CMetricsServer> m_pMetrics;
    std::int32_t m_nMetricsPort = 0;  // as the endpoint was last opened (or tried)
    std::string m_strMetricsAddress;
    std::unique_ptr<CServiceNotifier> m_pNotifier;  // its timer goes before this thread's loop
};
