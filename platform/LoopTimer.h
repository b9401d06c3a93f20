// CLoopTimer: a one-shot timer on the calling thread's event loop (a timerfd watched there).
//
// Owned by whoever made it; Start, Stop and the callback run on the thread whose CEventLoop was
// current at Start. Destroying the timer cancels it. When no timer can be made (out of
// descriptors, no loop), Start returns false and the callback never runs.
#pragma once

#include <functional>

#include "platform/EventLoop.h"

class CLoopTimer {
  public:
    CLoopTimer() = default;
    ~CLoopTimer();
    CLoopTimer(const CLoopTimer&) = delete;
    CLoopTimer& operator=(const CLoopTimer&) = delete;

    // (Re)starts the timer: the callback runs once, nDelayMs from now.
    bool Start(int nDelayMs, std::function<void()> callback);
    void Stop();
    bool IsRunning() const { return m_fd >= 0; }

  private:
    void Fire();

    CEventLoop* m_pLoop = nullptr;
    CEventLoop::WatchId m_nWatch = 0;
    int m_fd = -1;
    std::function<void()> m_callback;
};
