// CMetricsServer: the metrics endpoint, an HTTP/1.0 and 1.1 server of one page: a well-formed
// GET of /metrics is answered with the page the render function gives (gateway/MetricsText.h),
// another path with 404, anything else with 400: another method or version, a malformed request
// line or header, a request line and headers over kMaxRequestBytes, a client that has not sent
// its whole request within kRequestMs. Every answer ends the connection: the server closes its
// sending side, reads and drops what the client still sends (so that the answer is not lost to
// a reset) for at most kDrainMs, then closes. At most kMaxConnections are served at once;
// connections beyond them are closed as soon as they are accepted.
//
// Owned by the listener thread (CListenThread) and used on it only: the sockets are notified on
// its loop and nothing blocks it. Finished connections are freed by FreeFinished, which the
// owner calls at the end of every loop pass. A port or address that cannot be bound makes Open
// false with the code in WSAGetLastError() (EINVAL for a port outside 1 to 65535 or an address
// that is not dotted IPv4). When descriptors run out, accepting pauses for kRetryMs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>

#include "platform/AsyncSocket.h"
#include "platform/LoopDeadline.h"

// What a request received so far asks for.
enum class MetricsRequest { Incomplete, Metrics, NotFound, BadRequest };

// Judges the bytes a client has sent so far (the request line, headers, an empty line).
MetricsRequest JudgeMetricsRequest(std::string_view received);

class CMetricsServer {
public:
    static constexpr int kMaxConnections = 64;
    static constexpr std::size_t kMaxRequestBytes = 8192;
    static constexpr int kRequestMs = 5000;
    static constexpr int kDrainMs = 2000;
    static constexpr int kRetryMs = 100;

    using Render = std::function<std::string()>;

    explicit CMetricsServer(Render render);
    ~CMetricsServer();
    CMetricsServer(const CMetricsServer&) = delete;
    CMetricsServer& operator=(const CMetricsServer&) = delete;

    bool Open(const std::string& strAddress, std::int32_t nPort);
    void FreeFinished();
    // The connections being served now.
    int LiveConnections() const { return m_nLive; }

private:
    class CListener : public CAsyncSocket {
    public:
        explicit CListener(CMetricsServer& server) : m_server(server) {}
        void OnAccept(int) override { m_server.Accept(); }

    private:
        CMetricsServer& m_server;
    };
    class CConnection;

    void Accept();
    void PauseAccepting();
    void Finished();

    Render m_render;
    CListener m_listener{*this};
    CLoopDeadline m_retry;
    std::list<std::unique_ptr<CConnection>> m_connections;
    int m_nLive = 0;
    bool m_bAnyFinished = false;
};
