#include "platform/LoopResolver.h"

#include <ares.h>
#include <arpa/nameser.h>
#include <poll.h>
#include <sys/epoll.h>

#include "platform/DnsAnswer.h"
#include "platform/DnsChannel.h"
#include "platform/DnsQuery.h"

// One query: its answer's destination until it is delivered or dropped. The record lives until
// c-ares is done with it (c-ares calls back for every query, at the latest when the channel is
// destroyed), since c-ares holds a pointer to it.
struct CLoopResolver::CQuery {
    CLoopResolver* pOwner;
    QueryId nId;
    WholeAnswer onAnswer;
    CLoopDeadline limit;
    bool bWithAres = true;  // c-ares still holds the record
    bool bDropped = false;  // cancelled or given up: the answer goes nowhere
};

CLoopResolver::CLoopResolver() = default;

CLoopResolver::~CLoopResolver() {
    m_bClosing = true;
    CloseChannel();
    m_queries.clear();
}

size_t CLoopResolver::Pending() const {
    size_t nPending = 0;
    for (const auto& [nId, pQuery] : m_queries) nPending += pQuery->bDropped ? 0 : 1;
    return nPending;
}

int CLoopResolver::OpenChannel() {
    const std::string strServers = ConfiguredNameservers();
    if (m_channel != nullptr && strServers != m_strServers && m_queries.empty()) CloseChannel();
    if (m_channel != nullptr) return ARES_SUCCESS;
    ares_channel channel = nullptr;
    const int nStatus = MakeDnsChannel(&channel, strServers, &CLoopResolver::OnSocketState, this);
    if (nStatus != ARES_SUCCESS) return nStatus;
    m_channel = channel;
    m_strServers = strServers;
    return ARES_SUCCESS;
}

// c-ares answers every query still pending (ARES_EDESTRUCTION) and closes its sockets here.
void CLoopResolver::CloseChannel() {
    if (m_channel == nullptr) return;
    ares_channel channel = m_channel;
    m_channel = nullptr;
    ares_destroy(channel);
    m_timer.Stop();
    m_nTimerDueMs = 0;
}

CLoopResolver::QueryId CLoopResolver::QueryA(const std::string& strName, Answer onAnswer) {
    return Query(strName, [onAnswer = std::move(onAnswer)](const CDnsAnswer& answer) {
        onAnswer(answer.nStatus, answer.records.empty() ? std::array<std::uint8_t, 4>{}
                                                        : answer.records.front().address);
    });
}

CLoopResolver::QueryId CLoopResolver::Query(const std::string& strName, WholeAnswer onAnswer) {
    if (m_pLoop == nullptr) m_pLoop = CEventLoop::ForThisThread();
    const int nStatus = m_pLoop != nullptr ? OpenChannel() : ARES_ENOTINITIALIZED;
    if (nStatus != ARES_SUCCESS) {
        onAnswer(CDnsAnswer{nStatus, {}, {}});
        return 0;
    }
    const QueryId nId = m_nNextId++;
    auto pQuery = std::make_unique<CQuery>();
    CQuery& query = *pQuery;
    query.pOwner = this;
    query.nId = nId;
    query.onAnswer = std::move(onAnswer);
    m_queries.emplace(nId, std::move(pQuery));
    query.limit.Arm(kDnsQueryLimitMs, [this, nId] { GiveUp(nId); });
    ares_query(m_channel, strName.c_str(), ns_c_in, ns_t_a, &CLoopResolver::OnQueryAnswer, &query);
    AfterProcessing();
    return m_queries.count(nId) != 0 ? nId : 0;
}

void CLoopResolver::Cancel(QueryId nId) {
    auto it = m_queries.find(nId);
    if (it == m_queries.end()) return;
    CQuery& query = *it->second;
    query.bDropped = true;
    query.onAnswer = nullptr;
    query.limit.Cancel();
    if (!query.bWithAres) m_queries.erase(it);
}

// The query's bound has passed: it answers as a time-out now, and c-ares' own answer, whenever
// it comes, goes nowhere. An answer that has already arrived still counts: the loop may have been
// held up past the bound with it unread.
void CLoopResolver::GiveUp(QueryId nId) {
    ReadReadySockets();
    auto it = m_queries.find(nId);
    if (it == m_queries.end() || it->second->bDropped) return;
    WholeAnswer onAnswer = std::move(it->second->onAnswer);
    Cancel(nId);
    if (onAnswer) onAnswer(CDnsAnswer{ARES_ETIMEOUT, {}, {}});
}

void CLoopResolver::OnQueryAnswer(void* pArg, int nStatus, int, unsigned char* pAnswer,
                                  int nLength) {
    auto& query = *static_cast<CQuery*>(pArg);
    CLoopResolver& self = *query.pOwner;
    query.bWithAres = false;
    if (query.bDropped || self.m_bClosing) {
        if (!self.m_bClosing) self.m_queries.erase(query.nId);
        return;
    }
    self.m_done.push_back(CDone{query.nId, ReadDnsAnswer(nStatus, pAnswer, nLength)});
}

void CLoopResolver::OnSocketState(void* pData, int fd, int bReadable, int bWritable) {
    static_cast<CLoopResolver*>(pData)->WatchSocket(fd, bReadable != 0, bWritable != 0);
}

void CLoopResolver::WatchSocket(int fd, bool bReadable, bool bWritable) {
    const std::uint32_t nEvents = (bReadable ? EPOLLIN : 0u) | (bWritable ? EPOLLOUT : 0u);
    auto it = m_sockets.find(fd);
    if (nEvents == 0) {
        if (it != m_sockets.end()) m_pLoop->Unwatch(it->second);
        if (it != m_sockets.end()) m_sockets.erase(it);
        return;
    }
    if (it != m_sockets.end()) {
        m_pLoop->Rewatch(it->second, nEvents);
        return;
    }
    const CEventLoop::WatchId nWatch = m_pLoop->Watch(
        fd, nEvents, [this, fd](std::uint32_t nReady) { ProcessSocket(fd, nReady); });
    if (nWatch != 0) m_sockets.emplace(fd, nWatch);
}

void CLoopResolver::ProcessSocket(int fd, std::uint32_t nEvents) {
    if (m_channel == nullptr) return;
    const bool bRead = (nEvents & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0;
    const bool bWrite = (nEvents & EPOLLOUT) != 0;
    ares_process_fd(m_channel, bRead ? fd : ARES_SOCKET_BAD, bWrite ? fd : ARES_SOCKET_BAD);
    AfterProcessing();
}

// Answers waiting in the sockets are read first, so that c-ares does not count a try as timed
// out whose answer is already here.
void CLoopResolver::RunTimeouts() {
    m_nTimerDueMs = 0;
    ReadReadySockets();
    if (m_channel == nullptr) return;
    ares_process_fd(m_channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    AfterProcessing();
}

// Hands c-ares every socket that has something to read now (one poll for all of them), and
// delivers what that answers. A socket c-ares closes meanwhile is simply not read.
void CLoopResolver::ReadReadySockets() {
    if (m_channel == nullptr || m_sockets.empty()) return;
    std::vector<pollfd> sockets;
    for (const auto& [fd, nWatch] : m_sockets) sockets.push_back(pollfd{fd, POLLIN, 0});
    if (poll(sockets.data(), sockets.size(), 0) <= 0) return;
    for (const pollfd& socket : sockets) {
        if (m_channel == nullptr) break;
        if ((socket.revents & (POLLIN | POLLERR | POLLHUP)) != 0 && m_sockets.count(socket.fd) != 0)
            ares_process_fd(m_channel, socket.fd, ARES_SOCKET_BAD);
    }
    AfterProcessing();
}

void CLoopResolver::AfterProcessing() {
    UpdateTimer();
    DeliverDone();
}

// One timer serves c-ares' time-outs. It is moved only when c-ares' next time-out comes before
// it; firing early costs a look at c-ares, not a system call per answer.
void CLoopResolver::UpdateTimer() {
    if (m_channel == nullptr) return;
    timeval wait{};
    if (ares_timeout(m_channel, nullptr, &wait) == nullptr) return;
    const long long nDelayMs = wait.tv_sec * 1000LL + (wait.tv_usec + 999) / 1000;
    const long long nDueMs = CLoopDeadline::NowMs() + nDelayMs;
    if (m_timer.IsRunning() && m_nTimerDueMs <= nDueMs) return;
    if (m_timer.Start(static_cast<int>(nDelayMs), [this] { RunTimeouts(); }))
        m_nTimerDueMs = nDueMs;
}

// Each answer's record goes first, so that its callback may query again or cancel others.
void CLoopResolver::DeliverDone() {
    std::vector<CDone> done;
    done.swap(m_done);
    for (const CDone& answer : done) {
        auto it = m_queries.find(answer.nId);
        if (it == m_queries.end() || it->second->bDropped) continue;
        WholeAnswer onAnswer = std::move(it->second->onAnswer);
        m_queries.erase(it);
        if (onAnswer) onAnswer(answer.answer);
    }
}
