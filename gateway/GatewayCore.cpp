#include "gateway/GatewayCore.h"

CGatewayCore::~CGatewayCore() { StopListenThread(); }

// Placeholders until the listener thread lands.
CListenThread* CGatewayCore::StartListenThread() { return nullptr; }
void CGatewayCore::StopListenThread() {}
