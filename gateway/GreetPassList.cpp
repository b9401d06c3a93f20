#include "gateway/GreetPassList.h"

#include "gateway/ClientKey.h"

void CGreetPassList::Remember(const CNetAddress& address, long long nNowMs) {
    const CNetAddress key = ClientKey(address);
    if (auto it = m_index.find(key); it != m_index.end()) {
        m_order.erase(it->second);
        m_index.erase(it);
    }
    m_order.push_back({key, nNowMs});
    m_index.emplace(key, std::prev(m_order.end()));
    while (m_index.size() > m_nCapacity) {
        m_index.erase(m_order.front().key);
        m_order.pop_front();
    }
}

bool CGreetPassList::HasPassed(const CNetAddress& address, long long nNowMs, int nHours) {
    const auto it = m_index.find(ClientKey(address));
    if (it == m_index.end()) return false;
    const long long nKeepMs = static_cast<long long>(nHours) * 3600 * 1000;
    if (nNowMs - it->second->nPassedMs < nKeepMs) return true;
    m_order.erase(it->second);
    m_index.erase(it);
    return false;
}
