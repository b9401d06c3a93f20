#include "gateway/ConnectionList.h"

#include "gateway/ClientSocket.h"

CConnectionList::CConnectionList() = default;

CConnectionList::~CConnectionList() { Clear(); }

CClientSocket& CConnectionList::Add(std::unique_ptr<CClientSocket> pClient) {
    m_live.push_front(std::move(pClient));
    CClientSocket& client = *m_live.front();
    client.m_pOwner = this;
    client.m_itSelf = m_live.begin();
    return client;
}

void CConnectionList::Retire(CClientSocket& client) {
    m_finished.splice(m_finished.end(), m_live, client.m_itSelf);
}

bool CConnectionList::FreeFinished() {
    if (m_finished.empty()) return false;
    m_finished.clear();
    return true;
}

// The newest first; each destructor closes its sockets, which never reaches this list again.
void CConnectionList::Clear() {
    while (!m_live.empty()) {
        m_live.front()->m_pOwner = nullptr;
        m_live.pop_front();
    }
    m_finished.clear();
}

std::vector<CConnectionSnapshot> CConnectionList::Snapshot() const {
    std::vector<CConnectionSnapshot> snapshot;
    for (const auto& pClient : m_live) snapshot.push_back(pClient->Snapshot());
    return snapshot;
}
