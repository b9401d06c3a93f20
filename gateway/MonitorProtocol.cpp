// Placeholder until the monitor protocol lands.
#include "gateway/GatewayCore.h"

void CGatewayCore::SendMonitorStatus() {}
void CGatewayCore::SetMailServerStatus(int nValue) { m_nMailServerStatus = nValue; }
