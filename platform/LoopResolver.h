// CLoopResolver: type-A queries through c-ares, driven by the calling thread's event loop, so
// that many queries run at once and none blocks the thread: c-ares' sockets are watched by the
// loop, its time-outs run on one loop timer, and no thread or blocking wait is added.
//
// Owned by whoever made it, and used on one thread only: the thread whose CEventLoop is current
// at the first query; it must be destroyed on that thread while its loop still exists. Each
// query answers with the status and address the blocking DnsQueryA would give for the same
// answer (the same channel settings, the same answer rules of platform/DnsAnswer.h), and at
// the latest after kDnsQueryLimitMs, as ARES_ETIMEOUT; an answer that had arrived by then counts,
// however late the loop comes to judge the bound. An answer is delivered through the loop,
// never inside c-ares, so the callback may do anything (query again, pump the loop); only a
// query that cannot even be sent (no channel: the set-up status) is answered inside QueryA.
// Cancel drops a query's answer; destroying the resolver drops every pending answer. The
// nameservers are read when the channel is made, and again when TARNWICK_NAMESERVERS changes
// while no query is pending.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/DnsAnswer.h"
#include "platform/EventLoop.h"
#include "platform/LoopDeadline.h"
#include "platform/LoopTimer.h"

struct ares_channeldata;

class CLoopResolver {
public:
    using QueryId = std::uint64_t;
    // nStatus as DnsQueryA returns it; address is the first A record on kDnsSuccess.
    using Answer = std::function<void(int nStatus, const std::array<std::uint8_t, 4>& address)>;
    // The whole answer, as DnsQuery gives it.
    using WholeAnswer = std::function<void(const CDnsAnswer& answer)>;

    CLoopResolver();
    ~CLoopResolver();
    CLoopResolver(const CLoopResolver&) = delete;
    CLoopResolver& operator=(const CLoopResolver&) = delete;

    // Asks for strName's A records; the id for Cancel (0 when it was answered at once).
    QueryId Query(const std::string& strName, WholeAnswer onAnswer);
    // The same, answered with the status and the first address.
    QueryId QueryA(const std::string& strName, Answer onAnswer);
    void Cancel(QueryId nId);
    // Queries whose answers are still to come.
    size_t Pending() const;

private:
    struct CQuery;
    struct CDone {
        QueryId nId;
        CDnsAnswer answer;
    };

    int OpenChannel();
    void CloseChannel();
    static void OnSocketState(void* pData, int fd, int bReadable, int bWritable);
    static void OnQueryAnswer(void* pArg, int nStatus, int nTimeouts, unsigned char* pAnswer,
                              int nLength);
    void WatchSocket(int fd, bool bReadable, bool bWritable);
    void ProcessSocket(int fd, std::uint32_t nEvents);
    void RunTimeouts();
    void ReadReadySockets();
    void AfterProcessing();
    void UpdateTimer();
    void DeliverDone();
    void GiveUp(QueryId nId);

    ares_channeldata* m_channel = nullptr;
    std::string m_strServers;
    CEventLoop* m_pLoop = nullptr;
    std::unordered_map<int, CEventLoop::WatchId> m_sockets;
    std::unordered_map<QueryId, std::unique_ptr<CQuery>> m_queries;
    std::vector<CDone> m_done;  // answered inside c-ares, to be delivered after it returns
    QueryId m_nNextId = 1;
    CLoopTimer m_timer;
    long long m_nTimerDueMs = 0;
    bool m_bClosing = false;
};
