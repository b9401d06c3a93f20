// CProxyHeaderReader: reads the PROXY protocol header at the start of a connection from a
// trusted load balancer, on the loop, in whatever pieces it arrives, without blocking anyone.
//
// Owned by the client connection while it reads (CClientSocket), on the listener thread. The
// connection calls Read whenever it is readable and Ended when its peer closes. Each Read takes
// at most what the header can still hold (so a version 2 header is read exactly, and a version
// 1 line with at most the bytes that came in the same read after it). The outcome goes once to
// the continuation: the parsed header and the bytes read after it (the client's first block),
// or a header marked Invalid when it is malformed, larger than the protocol allows, cut short by
// the peer's close or a failed receive, or not complete kHeaderMs after Start. The continuation
// runs last and may destroy the reader.
#pragma once

#include <functional>
#include <string>

#include "gateway/ProxyHeader.h"
#include "platform/AsyncSocket.h"
#include "platform/LoopDeadline.h"

class CProxyHeaderReader {
public:
    static constexpr int kHeaderMs = 3000;
    using Done = std::function<void(const CProxyHeader& header, std::string strRest)>;

    explicit CProxyHeaderReader(Done onDone) : m_onDone(std::move(onDone)) {}

    // Starts the bound on the calling thread's loop.
    void Start();
    // One receive from the socket, then the header judged on everything read so far.
    void Read(CAsyncSocket& socket);
    // The peer closed (or reset) before the header was complete.
    void Ended();

private:
    void Finish(const CProxyHeader& header);

    std::string m_strBytes;
    CLoopDeadline m_bound;
    Done m_onDone;
};
