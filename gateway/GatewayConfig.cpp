#include "gateway/GatewayConfig.h"

CConfigStore::CConfigStore() {
    auto pConfig = std::make_shared<CGatewayConfig>();
    CZoneHealth health;
    pConfig->pPolicy = CompileScreeningPolicy(pConfig->settings, health, nullptr);
    m_pConfig = std::move(pConfig);
}
