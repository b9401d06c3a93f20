#include "gateway/MailServerAddress.h"

#include "platform/AsyncSocket.h"

// The lookup runs outside the lock: the listener must not wait for another thread's lookup.
void CMailServerAddress::Resolve(const std::string& strHost) {
    sockaddr_storage address{};
    const bool bResolved = ResolveHost(strHost, address);
    std::lock_guard<std::mutex> guard(m_lock);
    m_strHost = strHost;
    m_bKnown = true;
    m_bResolved = bResolved;
    m_address = address;
}

bool CMailServerAddress::For(const std::string& strHost, sockaddr_storage& address) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_bKnown && m_strHost == strHost) {
            address = m_address;
            return m_bResolved;
        }
    }
    Resolve(strHost);
    return For(strHost, address);
}
