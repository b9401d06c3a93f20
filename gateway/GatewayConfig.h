// CGatewayConfig: one complete configuration of the gateway, immutable once published: the
// settings record (ports, mail server, switches, address lists), the screening policy compiled
// from it, and the mail server's address resolved for it. CConfigStore holds the one in force.
//
// A load, a reload and each of the configuration dialog's edits build a new configuration on
// the UI thread and publish it whole (CGatewayCore::Publish); the listener takes the current one
// once per client, at its accept, so a client sees one configuration from its accept to its
// close, whatever is published meanwhile, and reads it without a lock. Current and Publish may
// be called on any thread; nothing here fails.
#pragma once

#include <sys/socket.h>

#include <memory>
#include <mutex>

#include "gateway/ScreeningPolicy.h"
#include "settings/Settings.h"

struct CGatewayConfig {
    Settings settings;
    std::shared_ptr<const CScreeningPolicy> pPolicy;
    // MailServer's address (port 0), when the name resolved at publishing.
    bool bMailServerResolved = false;
    sockaddr_storage mailServer{};

    // The mail server's address, or null when its name did not resolve.
    const sockaddr_storage* MailServerAddress() const {
        return bMailServerResolved ? &mailServer : nullptr;
    }
};

using ConfigPtr = std::shared_ptr<const CGatewayConfig>;

class CConfigStore {
public:
    // Starts with the configuration of default settings and no zones.
    CConfigStore();

    ConfigPtr Current() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_pConfig;
    }
    void Publish(ConfigPtr pConfig) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_pConfig.swap(pConfig);
    }  // the old one goes here, outside the lock, when nobody else holds it

private:
    mutable std::mutex m_lock;
    ConfigPtr m_pConfig;
};
