// CClientLimiter: how many connections each client holds at once (ClientConnectionLimit) and how
// many new ones it has opened lately (ClientConnectionRate, per minute), and whether the next one
// is over either limit. A client is counted by its key (ClientKey.h: an IPv6 client by its /64).
//
// The rate is a bucket of nPerMinute connections that fills again at nPerMinute a minute: a
// client may open that many at once and then one every 60/nPerMinute seconds. Only admitted
// connections count; a refused one costs nothing, so a client that keeps trying is let in again
// as soon as it is under both limits. A refusal is to be logged at most once a minute per client
// (CAdmission::bLog). Each admitted connection holds a CSlot until it ends; a client that holds
// none and has been quiet for a minute is forgotten, so memory follows the clients of the last
// minute. With both limits 0 nothing is counted or kept.
//
// Owned by the listener thread's client intake; used on that thread only, and every slot must go
// before the limiter. Times are milliseconds of a monotonic clock, given by the caller.
#pragma once

#include <climits>
#include <cstddef>
#include <unordered_map>

#include "settings/NetPrefix.h"

class CClientLimiter {
public:
    static constexpr long long kMinuteMs = 60 * 1000;
    static constexpr const char* kTooManyLine =
        "421 - Tarnwick: Too Many Connections. Try Again Later\n";

    // One admitted connection, counted until the slot goes.
    class CSlot {
    public:
        CSlot() = default;
        CSlot(CClientLimiter* pLimiter, const CNetAddress& key)
            : m_pLimiter(pLimiter), m_key(key) {}
        CSlot(CSlot&& other) noexcept : m_pLimiter(other.m_pLimiter), m_key(other.m_key) {
            other.m_pLimiter = nullptr;
        }
        CSlot& operator=(CSlot&& other) noexcept;
        CSlot(const CSlot&) = delete;
        CSlot& operator=(const CSlot&) = delete;
        ~CSlot() { Release(); }
        void Release();

    private:
        CClientLimiter* m_pLimiter = nullptr;
        CNetAddress m_key;
    };

    struct CAdmission {
        bool bAdmitted = true;
        bool bLog = false;  // refused, and this client's refusal has not been logged this minute
        CSlot slot;         // admitted and counted
    };

    // A new connection from the address at nNowMs, under the limits in force (0: no limit).
    CAdmission Admit(const CNetAddress& address, long long nNowMs, int nAtOnce, int nPerMinute);
    // The clients kept now.
    size_t Tracked() const { return m_clients.size(); }

private:
    struct CClient {
        int nOpen = 0;
        long long nCredit = 0;            // the rate's bucket, in connection-milliseconds
        long long nRefillMs = LLONG_MIN;  // the bucket's last fill; none before the first
        long long nLastMs = LLONG_MIN;    // the last admission or logged refusal
        long long nLoggedMs = LLONG_MIN;
    };

    bool UnderRate(CClient& client, long long nNowMs, int nPerMinute);
    void Release(const CNetAddress& key);
    void Sweep(long long nNowMs);

    std::unordered_map<CNetAddress, CClient, CNetAddressHash> m_clients;
    size_t m_nSweepAt = 1024;
};
