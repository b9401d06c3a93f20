#include "host/GatewayApp.h"
