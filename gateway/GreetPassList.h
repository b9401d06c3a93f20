// CGreetPassList: the clients that passed the talk-first wait (GreetWait) lately, so that their
// next connections skip it. A client is kept by its key (ClientKey.h: an IPv6 client by its /64)
// with the time it passed; it counts as passed for the hours the caller gives (GreetPassHours,
// read at every question, so that a reload takes effect at once) and is forgotten after that.
// At most nCapacity clients are kept; when full, the one that passed longest ago goes first.
//
// Owned by the listener thread's client intake, which outlives reloads; used on that thread only.
// Times are milliseconds of a monotonic clock, given by the caller. Nothing fails.
#pragma once

#include <cstddef>
#include <list>
#include <unordered_map>

#include "settings/NetPrefix.h"

class CGreetPassList {
public:
    static constexpr size_t kCapacity = 100000;

    explicit CGreetPassList(size_t nCapacity = kCapacity) : m_nCapacity(nCapacity) {}

    // The client passed the wait at nNowMs.
    void Remember(const CNetAddress& address, long long nNowMs);
    // The client passed less than nHours before nNowMs; one that passed longer ago is forgotten.
    bool HasPassed(const CNetAddress& address, long long nNowMs, int nHours);
    size_t Size() const { return m_index.size(); }

private:
    struct CPass {
        CNetAddress key;
        long long nPassedMs;
    };
    using COrder = std::list<CPass>;  // the oldest pass first

    size_t m_nCapacity;
    COrder m_order;
    std::unordered_map<CNetAddress, COrder::iterator, CNetAddressHash> m_index;
};
