#include "gateway/ClientLimiter.h"

#include <algorithm>

#include "gateway/ClientKey.h"

CClientLimiter::CSlot& CClientLimiter::CSlot::operator=(CSlot&& other) noexcept {
    if (this == &other) return *this;
    Release();
    m_pLimiter = other.m_pLimiter;
    m_key = other.m_key;
    other.m_pLimiter = nullptr;
    return *this;
}

void CClientLimiter::CSlot::Release() {
    if (m_pLimiter != nullptr) m_pLimiter->Release(m_key);
    m_pLimiter = nullptr;
}

CClientLimiter::CAdmission CClientLimiter::Admit(const CNetAddress& address, long long nNowMs,
                                                 int nAtOnce, int nPerMinute) {
    CAdmission admission;
    if (nAtOnce <= 0 && nPerMinute <= 0) return admission;
    if (m_clients.size() >= m_nSweepAt) Sweep(nNowMs);
    const CNetAddress key = ClientKey(address);
    CClient& client = m_clients[key];
    const bool bUnderCount = nAtOnce <= 0 || client.nOpen < nAtOnce;
    if (bUnderCount && UnderRate(client, nNowMs, nPerMinute)) {
        ++client.nOpen;
        client.nLastMs = nNowMs;
        admission.slot = CSlot(this, key);
        return admission;
    }
    admission.bAdmitted = false;
    admission.bLog = client.nLoggedMs == LLONG_MIN || nNowMs - client.nLoggedMs >= kMinuteMs;
    if (admission.bLog) client.nLoggedMs = client.nLastMs = nNowMs;
    return admission;
}

// Takes one connection from the bucket when it holds one. The bucket holds at most nPerMinute
// connections and gains nPerMinute every minute, counted in connection-milliseconds so that
// integers do.
bool CClientLimiter::UnderRate(CClient& client, long long nNowMs, int nPerMinute) {
    if (nPerMinute <= 0) return true;
    const long long nFull = static_cast<long long>(nPerMinute) * kMinuteMs;
    if (client.nRefillMs == LLONG_MIN) {
        client.nCredit = nFull;
    } else {
        const long long nElapsed = std::min(kMinuteMs, std::max(0LL, nNowMs - client.nRefillMs));
        client.nCredit = std::min(nFull, client.nCredit + nElapsed * nPerMinute);
    }
    client.nRefillMs = nNowMs;
    if (client.nCredit < kMinuteMs) return false;
    client.nCredit -= kMinuteMs;
    return true;
}

void CClientLimiter::Release(const CNetAddress& key) {
    const auto it = m_clients.find(key);
    if (it != m_clients.end() && it->second.nOpen > 0) --it->second.nOpen;
}

// A client that holds no connection and has been quiet for a minute has a full bucket and no
// refusal to hold back: forgetting it changes nothing. The sweep runs whenever the table has
// doubled since the last one, so its cost is spread over the admissions.
void CClientLimiter::Sweep(long long nNowMs) {
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        const CClient& client = it->second;
        const bool bQuiet = client.nLastMs == LLONG_MIN || nNowMs - client.nLastMs >= kMinuteMs;
        it = client.nOpen == 0 && bQuiet ? m_clients.erase(it) : std::next(it);
    }
    m_nSweepAt = std::max<size_t>(1024, 2 * m_clients.size());
}
