#include "gateway/ClientDefences.h"

#include "gateway/GreetWait.h"
#include "platform/LoopDeadline.h"

CClientLimiter::CAdmission CClientDefences::Admit(const CNetAddress& address,
                                                  const CGatewayConfig& config) {
    const Settings& settings = config.settings;
    const int nAtOnce = settings.ClientConnectionLimit;
    const int nPerMinute = settings.ClientConnectionRate;
    if ((nAtOnce <= 0 && nPerMinute <= 0) || settings.IsProxyFrom(address) ||
        IsNamedMonitor(address, config) || IsExcluded(address, config))
        return {};
    return m_limiter.Admit(address, CLoopDeadline::NowMs(), nAtOnce, nPerMinute);
}

bool CClientDefences::MustWait(const CNetAddress& address, const CGatewayConfig& config) {
    if (config.settings.GreetWait <= 0 || IsNamedMonitor(address, config) ||
        IsExcluded(address, config))
        return false;
    return !m_passes.HasPassed(address, CLoopDeadline::NowMs(), config.settings.GreetPassHours);
}

void CClientDefences::Passed(const CNetAddress& address) {
    m_passes.Remember(address, CLoopDeadline::NowMs());
}

bool CClientDefences::IsMonitorIdentification(const CNetAddress& address,
                                              const std::string& strBlock,
                                              const CGatewayConfig& config) {
    return ::IsMonitorIdentification(strBlock) && config.settings.IsMonitorFrom(address);
}

bool CClientDefences::Defers(const CNetAddress& address, const CScreeningVerdict& verdict,
                             const CGatewayConfig& config) {
    return config.settings.DeferOnDnsFailure != 0 && verdict.nListings == 0 &&
           verdict.bUnanswered && !IsNamedMonitor(address, config);
}

bool CClientDefences::AnyOn(const CGatewayConfig& config) {
    const Settings& settings = config.settings;
    return settings.GreetWait > 0 || settings.ClientConnectionLimit > 0 ||
           settings.ClientConnectionRate > 0 || settings.DeferOnDnsFailure != 0;
}

bool CClientDefences::IsExcluded(const CNetAddress& address, const CGatewayConfig& config) {
    return config.pPolicy->IsExcluded(address);
}

// MonitorFrom lets anyone identify while it names nobody: then no address is a named monitor.
bool CClientDefences::IsNamedMonitor(const CNetAddress& address, const CGatewayConfig& config) {
    return config.settings.m_bMonitorFromSet && config.settings.IsMonitorFrom(address);
}
