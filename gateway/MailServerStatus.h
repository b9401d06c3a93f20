// IMailServerStatus: where a connection attempt to the mail server tells how it went (STAT:
// 1 connected, 0 failed). The listener's monitors take it on the listener thread
// (CMonitorStatus); the gateway takes the configuration test's on the UI thread and hands it to
// the listener (CGatewayCore). An unchanged status changes nothing.
#pragma once

class IMailServerStatus {
public:
    virtual ~IMailServerStatus() = default;
    virtual void SetMailServerStatus(int nValue) = 0;
};
