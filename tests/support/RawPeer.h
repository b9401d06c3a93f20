// Raw TCP peers for end-to-end tests: a blocking client that can bind its own loopback source
// address (127.0.0.5 and so on, so that clients differ as the gateway sees them), and a small
// threaded server that runs a handler for each connection it accepts. Test thread only, except
// the handlers, which run on the server's own threads.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CRawClient {
public:
    CRawClient() = default;
    ~CRawClient() { Close(); }
    CRawClient(const CRawClient&) = delete;
    CRawClient& operator=(const CRawClient&) = delete;

    // Connects to 127.0.0.1:nPort from strFrom (any 127.x.y.z address), or to [::1]:nPort from
    // an IPv6 strFrom (::1, or an address CLoopbackAddresses has added); a receive buffer size
    // above 0 is set first (a small one makes a peer that stops reading stall the sender soon).
    bool Connect(int nPort, const std::string& strFrom = "127.0.0.1", int nReceiveBuffer = 0);
    // The port this end was given.
    int LocalPort() const;
    bool SendAll(const std::string& strBytes);
    // Reads until bDone(everything received so far) holds, the peer closes, or nTimeoutMs
    // pass; true when bDone held.
    bool ReadUntil(const std::function<bool(const std::string&)>& bDone, int nTimeoutMs = 10000);
    bool ReadUntilContains(const std::string& strNeedle, int nTimeoutMs = 10000);
    // Reads until the peer closes (orderly or reset); false when it is still open after
    // nTimeoutMs.
    bool ReadUntilClosed(int nTimeoutMs = 10000);
    // Whatever arrives within nMs, without waiting for more.
    void ReadFor(int nMs);
    void ShutdownWrite();
    void Close();
    int Fd() const { return m_fd; }
    bool PeerClosed() const { return m_bPeerClosed; }

    std::string m_strReceived;

private:
    // One read of what is there, waiting up to nMs; false once the peer has closed.
    bool ReadSome(int nMs);

    int m_fd = -1;
    bool m_bPeerClosed = false;
};

// Sends all of strBytes on a blocking descriptor; false on error.
bool SendAllFd(int fd, const char* pBytes, size_t nCount);
// Random bytes of every value, NUL and CR LF pairs included, the same for the same seed.
std::string RandomStream(size_t nSize, unsigned nSeed);
// A CRawServer handler: sends back everything it receives until the peer ends, then ends too.
void EchoUntilClosed(int fd);

class CRawServer {
public:
    using Handler = std::function<void(int fd)>;

    CRawServer() = default;
    ~CRawServer() { Stop(); }
    CRawServer(const CRawServer&) = delete;
    CRawServer& operator=(const CRawServer&) = delete;

    // Listens on strAddress:nPort (0 = a free one) and runs handler on its own thread for each
    // accepted connection. Handlers end a connection with shutdown(), never close(): the
    // descriptors are closed by Stop.
    bool Start(Handler handler, int nPort = 0, int nBacklog = 64,
               const std::string& strAddress = "127.0.0.1");
    // Stops accepting, shuts every connection down and waits for every handler.
    void Stop();
    int Port() const { return m_nPort; }

private:
    void AcceptLoop();

    int m_fdListen = -1;
    int m_nPort = 0;
    Handler m_handler;
    std::atomic<bool> m_bStopping{false};
    std::thread m_acceptThread;
    std::mutex m_lock;
    std::vector<std::thread> m_handlers;
    std::vector<int> m_connections;
};
