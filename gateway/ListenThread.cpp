// Placeholder until the listener thread lands.
#include "gateway/GatewayCore.h"

CListenThread* CGatewayCore::StartListenThread() { return nullptr; }
void CGatewayCore::StopListenThread() {}
