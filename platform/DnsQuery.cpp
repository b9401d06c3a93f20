#include "platform/DnsQuery.h"

#include <ares.h>
#include <arpa/nameser.h>
#include <poll.h>

#include <chrono>

#include "platform/DnsAnswer.h"
#include "platform/DnsChannel.h"

static_assert(kDnsSuccess == ARES_SUCCESS && kDnsNameNotFound == ARES_ENOTFOUND);

namespace {
using Clock = std::chrono::steady_clock;

// One thread's resolver channel: c-ares channels must not be shared between threads.
class CResolverChannel {
public:
    CResolverChannel() = default;
    ~CResolverChannel() { Close(); }
    CResolverChannel(const CResolverChannel&) = delete;
    CResolverChannel& operator=(const CResolverChannel&) = delete;

    // The channel for the current nameserver setting, made first when there is none yet or
    // the setting changed. Returns c-ares' status of making it.
    int Open(ares_channel* pChannel);

private:
    int Make(const std::string& strServers);
    void Close();

    ares_channel m_channel = nullptr;
    std::string m_strServers;
};

thread_local CResolverChannel t_channel;

int CResolverChannel::Open(ares_channel* pChannel) {
    const std::string strServers = ConfiguredNameservers();
    if (m_channel != nullptr && strServers != m_strServers) Close();
    if (m_channel == nullptr) {
        const int nStatus = Make(strServers);
        if (nStatus != ARES_SUCCESS) return nStatus;
    }
    *pChannel = m_channel;
    return ARES_SUCCESS;
}

int CResolverChannel::Make(const std::string& strServers) {
    const int nStatus = MakeDnsChannel(&m_channel, strServers);
    if (nStatus == ARES_SUCCESS) m_strServers = strServers;
    return nStatus;
}

void CResolverChannel::Close() {
    if (m_channel != nullptr) ares_destroy(m_channel);
    m_channel = nullptr;
}

// What the query's callback leaves behind.
struct CQueryOutcome {
    bool bDone = false;
    CDnsAnswer answer{ARES_ETIMEOUT, {}, {}};
};

void OnQueryAnswer(void* pArg, int nStatus, int, unsigned char* pAnswer, int nLength) {
    auto& outcome = *static_cast<CQueryOutcome*>(pArg);
    outcome.bDone = true;
    outcome.answer = ReadDnsAnswer(nStatus, pAnswer, nLength);
}

// The channel's sockets as poll entries; returns how many.
nfds_t WatchedSockets(ares_channel channel, pollfd* pFds) {
    ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
    const int nMask = ares_getsock(channel, sockets, ARES_GETSOCK_MAXNUM);
    nfds_t nFds = 0;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
        short nEvents = 0;
        if (ARES_GETSOCK_READABLE(nMask, i)) nEvents |= POLLIN;
        if (ARES_GETSOCK_WRITABLE(nMask, i)) nEvents |= POLLOUT;
        if (nEvents == 0) continue;
        pFds[nFds++] = pollfd{sockets[i], nEvents, 0};
    }
    return nFds;
}

// How long poll may sleep: until c-ares' next time-out, never past the query's limit.
int PollWaitMs(ares_channel channel, int nLeftMs) {
    timeval maxWait{nLeftMs / 1000, (nLeftMs % 1000) * 1000};
    timeval wait{};
    const timeval* pWait = ares_timeout(channel, &maxWait, &wait);
    return static_cast<int>(pWait->tv_sec * 1000 + (pWait->tv_usec + 999) / 1000);
}

// Hands ready sockets to c-ares; with none ready it still runs c-ares' time-outs.
void ProcessReadySockets(ares_channel channel, const pollfd* pFds, nfds_t nFds, int nReady) {
    if (nReady <= 0) {
        ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        return;
    }
    for (nfds_t i = 0; i < nFds; ++i) {
        const short nSeen = pFds[i].revents;
        if (nSeen == 0) continue;
        const bool bRead = (nSeen & (POLLIN | POLLERR | POLLHUP)) != 0;
        const bool bWrite = (nSeen & POLLOUT) != 0;
        ares_process_fd(channel, bRead ? pFds[i].fd : ARES_SOCKET_BAD,
                        bWrite ? pFds[i].fd : ARES_SOCKET_BAD);
    }
}

// Runs the channel until the query's callback has fired, or cancels it at the limit.
void WaitForOutcome(ares_channel channel, CQueryOutcome& outcome) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kDnsQueryLimitMs);
    while (!outcome.bDone) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            ares_cancel(channel);  // runs the callback with ARES_ECANCELLED
            outcome.answer = CDnsAnswer{ARES_ETIMEOUT, {}, {}};
            return;
        }
        pollfd fds[ARES_GETSOCK_MAXNUM];
        const nfds_t nFds = WatchedSockets(channel, fds);
        const int nReady = poll(fds, nFds, PollWaitMs(channel, static_cast<int>(left.count())));
        ProcessReadySockets(channel, fds, nFds, nReady);
    }
}
}  // namespace

CDnsAnswer DnsQuery(const std::string& strName) {
    ares_channel channel = nullptr;
    const int nStatus = t_channel.Open(&channel);
    if (nStatus != ARES_SUCCESS) return CDnsAnswer{nStatus, {}, {}};
    CQueryOutcome outcome;
    ares_query(channel, strName.c_str(), ns_c_in, ns_t_a, OnQueryAnswer, &outcome);
    WaitForOutcome(channel, outcome);
    return outcome.answer;
}

int DnsQueryA(const std::string& strName, std::array<std::uint8_t, 4>& address) {
    const CDnsAnswer answer = DnsQuery(strName);
    if (answer.nStatus == ARES_SUCCESS) address = answer.records.front().address;
    return answer.nStatus;
}
