// CGatewayApp: the one application object of the process.
//
// Its fields and operations come in layers, each in its subsystem's folder: the framework part
// (platform/WinApp.h: main window, PumpMessages), logging (logging/LoggingApp.h: settings
// record, platform family, LogLine, LogActivity, ReportError, RefreshMonitor), the gateway
// (gateway/GatewayCore.h: counters, connections, listener thread, CheckBlacklists, monitor
// status), and here the host's start-up, foreground run and reconfiguration. Constructed once
// by main() on the UI thread; reached everywhere through AfxGetApp() (TheApp() here).
#pragma once

#include <atomic>
#include <cstdint>

#include "gateway/GatewayCore.h"

class CGatewayApp : public CGatewayCore {
public:
    CGatewayApp() = default;
    // Stops the listener thread while the object is still whole: that thread reaches the
    // application through TheApp() until it has gone.
    ~CGatewayApp() override;

    std::atomic<std::int32_t> m_bGatewayElsewhere{0};
    std::atomic<std::int32_t> m_bConfigAtStart{0};
};

inline CGatewayApp& TheApp() { return AppAs<CGatewayApp>(); }
