#include "platform/LoopDeadline.h"

#include <time.h>

#include "platform/EventLoop.h"

long long CLoopDeadline::NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool CLoopDeadline::Arm(int nDelayMs, std::function<void()> callback) {
    Cancel();
    if (m_pLoop == nullptr) m_pLoop = CEventLoop::ForThisThread();
    if (m_pLoop == nullptr) return false;
    m_nDelayMs = nDelayMs;
    m_callback = std::move(callback);
    m_nDueMs = NowMs() + nDelayMs;
    m_pLoop->LinkDeadline(*this);
    m_bArmed = true;
    return true;
}

void CLoopDeadline::Rearm() {
    if (!m_bArmed) return;
    m_pLoop->UnlinkDeadline(*this);
    m_nDueMs = NowMs() + m_nDelayMs;
    m_pLoop->LinkDeadline(*this);
}

void CLoopDeadline::Cancel() {
    if (!m_bArmed) return;
    m_pLoop->UnlinkDeadline(*this);
    m_bArmed = false;
    m_callback = nullptr;
}

// The callback may re-arm or destroy this deadline, so it runs last, from a moved copy.
void CLoopDeadline::Fire() {
    std::function<void()> callback = std::move(m_callback);
    Cancel();
    if (callback) callback();
}
