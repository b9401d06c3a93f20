#include "platform/LoopTimer.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

CLoopTimer::~CLoopTimer() {
    Stop();
}

bool CLoopTimer::Start(int nDelayMs, std::function<void()> callback) {
    Stop();
    m_pLoop = CEventLoop::ForThisThread();
    if (m_pLoop == nullptr)
        return false;
    m_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd < 0)
        return false;
    itimerspec spec{};
    spec.it_value.tv_sec = nDelayMs / 1000;
    spec.it_value.tv_nsec = static_cast<long>(nDelayMs % 1000) * 1000000L + 1;
    m_nWatch = m_pLoop->Watch(m_fd, EPOLLIN, [this](std::uint32_t) { Fire(); });
    if (m_nWatch == 0 || timerfd_settime(m_fd, 0, &spec, nullptr) != 0) {
        Stop();
        return false;
    }
    m_callback = std::move(callback);
    return true;
}

void CLoopTimer::Stop() {
    if (m_nWatch != 0 && m_pLoop != nullptr)
        m_pLoop->Unwatch(m_nWatch);
    m_nWatch = 0;
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_callback = nullptr;
}

// The callback may start the timer again or destroy its owner, so it runs last, from a copy.
void CLoopTimer::Fire() {
    std::function<void()> callback = std::move(m_callback);
    Stop();
    if (callback)
        callback();
}
