#include "platform/LoopTimer.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>

CLoopTimer::~CLoopTimer() {
    if (m_nWatch != 0 && m_pLoop != nullptr) m_pLoop->Unwatch(m_nWatch);
    if (m_fd >= 0) close(m_fd);
}

bool CLoopTimer::Prepare() {
    if (m_fd >= 0) return true;
    m_pLoop = CEventLoop::ForThisThread();
    if (m_pLoop == nullptr) return false;
    m_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd < 0) return false;
    m_nWatch = m_pLoop->Watch(m_fd, EPOLLIN, [this](std::uint32_t) { Fire(); });
    if (m_nWatch != 0) return true;
    close(m_fd);
    m_fd = -1;
    return false;
}

bool CLoopTimer::Arm(int nDelayMs) {
    itimerspec spec{};
    spec.it_value.tv_sec = nDelayMs / 1000;
    // A zero value would disarm the timer; the extra nanosecond keeps a 0 ms delay armed.
    spec.it_value.tv_nsec = static_cast<long>(nDelayMs % 1000) * 1000000L + 1;
    return timerfd_settime(m_fd, 0, &spec, nullptr) == 0;
}

bool CLoopTimer::Start(int nDelayMs, std::function<void()> callback) {
    Stop();
    if (!Prepare() || !Arm(nDelayMs)) return false;
    m_callback = std::move(callback);
    m_bRunning = true;
    return true;
}

void CLoopTimer::Stop() {
    m_bRunning = false;
    m_callback = nullptr;
    if (m_fd < 0) return;
    const itimerspec disarm{};
    timerfd_settime(m_fd, 0, &disarm, nullptr);
    std::uint64_t nExpirations = 0;
    (void)!read(m_fd, &nExpirations, sizeof nExpirations);
}

// The callback may start the timer again or destroy its owner, so it runs last, from a copy.
void CLoopTimer::Fire() {
    std::uint64_t nExpirations = 0;
    (void)!read(m_fd, &nExpirations, sizeof nExpirations);
    if (!m_bRunning) return;
    std::function<void()> callback = std::move(m_callback);
    m_bRunning = false;
    m_callback = nullptr;
    if (callback) callback();
}
