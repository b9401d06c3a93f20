#include "gateway/ClientDefences.h"

#include <mutex>

#include "gateway/GreetWait.h"
#include "platform/LoopDeadline.h"

CClientLimiter::CAdmission CClientDefences::Admit(const CNetAddress& address) {
    const int nAtOnce = m_settings.ClientConnectionLimit;
    const int nPerMinute = m_settings.ClientConnectionRate;
    if ((nAtOnce <= 0 && nPerMinute <= 0) || m_settings.IsProxyFrom(address) ||
        IsNamedMonitor(address) || IsExcluded(address))
        return {};
    return m_limiter.Admit(address, CLoopDeadline::NowMs(), nAtOnce, nPerMinute);
}

bool CClientDefences::MustWait(const CNetAddress& address) {
    if (m_settings.GreetWait <= 0 || IsNamedMonitor(address) || IsExcluded(address)) return false;
    return !m_passes.HasPassed(address, CLoopDeadline::NowMs(), m_settings.GreetPassHours);
}

void CClientDefences::Passed(const CNetAddress& address) {
    m_passes.Remember(address, CLoopDeadline::NowMs());
}

bool CClientDefences::IsMonitorIdentification(const CNetAddress& address,
                                              const std::string& strBlock) const {
    return ::IsMonitorIdentification(strBlock) && m_settings.IsMonitorFrom(address);
}

bool CClientDefences::Defers(const CNetAddress& address, const CScreeningVerdict& verdict) const {
    return m_settings.DeferOnDnsFailure != 0 && verdict.nListings == 0 && verdict.bUnanswered &&
           !IsNamedMonitor(address);
}

bool CClientDefences::AnyOn() const {
    return m_settings.GreetWait > 0 || m_settings.ClientConnectionLimit > 0 ||
           m_settings.ClientConnectionRate > 0 || m_settings.DeferOnDnsFailure != 0;
}

bool CClientDefences::IsExcluded(const CNetAddress& address) const {
    return m_screening.CurrentPolicy()->IsExcluded(address);
}

// MonitorFrom lets anyone identify while it names nobody: then no address is a named monitor.
bool CClientDefences::IsNamedMonitor(const CNetAddress& address) const {
    std::lock_guard<std::recursive_mutex> guard(m_settings.m_lock);
    return m_settings.m_bMonitorFromSet && m_settings.IsMonitorFrom(address);
}
