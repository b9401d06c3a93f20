// CGatewayContext: what the listener thread's objects use of the gateway (the intake, the
// listening, client and channel sockets), handed to each at construction. The gateway
// (CGatewayCore) owns every part; the context only names them.
//
// CGatewayCounters are the values both threads share: the listener changes them, the UI thread
// shows them; each is an atomic. The log, the configuration store and the screening may be used
// on any thread; the monitors' status belongs to the listener thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "gateway/DnsblLookup.h"
#include "gateway/GatewayConfig.h"
#include "gateway/MonitorStatus.h"
#include "logging/ActivityLog.h"

struct CGatewayCounters {
    std::atomic<std::int32_t> m_nConnections{0};       // CON: connections received
    std::atomic<std::int32_t> m_nRejected{0};          // REJ: connections rejected
    std::atomic<std::int32_t> m_nMailServerStatus{1};  // STAT: the last connect succeeded
};

struct CGatewayContext {
    CActivityLog& log;
    CGatewayCounters& counters;
    const CConfigStore& config;
    CDnsblLookup& screening;
    CMonitorStatus& monitors;
};
