#include "host/GatewayApp.h"

CGatewayApp::~CGatewayApp() { StopListenThread(); }
