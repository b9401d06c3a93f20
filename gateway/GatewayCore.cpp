#include "gateway/GatewayCore.h"

CGatewayCore::~CGatewayCore() { StopListenThread(); }
