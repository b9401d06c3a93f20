// CLoopTimer: a one-shot timer on the calling thread's event loop (a timerfd watched there).
//
// Owned by whoever made it; Prepare, Start, Stop and the callback run on the thread whose
// CEventLoop was current when the timer got its descriptor. The descriptor is made once
// (Prepare, or the first Start) and kept until the timer is destroyed, so a timer prepared in
// advance still works when the process has run out of descriptors. Destroying the timer
// cancels it. When no descriptor can be made, Start returns false and the callback never runs.
#pragma once

#include <functional>

#include "platform/EventLoop.h"

class CLoopTimer {
public:
    CLoopTimer() = default;
    ~CLoopTimer();
    CLoopTimer(const CLoopTimer&) = delete;
    CLoopTimer& operator=(const CLoopTimer&) = delete;

    // Makes the descriptor now; false when it cannot be made.
    bool Prepare();
    // (Re)starts the timer: the callback runs once, nDelayMs from now.
    bool Start(int nDelayMs, std::function<void()> callback);
    void Stop();
    bool IsRunning() const { return m_bRunning; }

private:
    void Fire();
    bool Arm(int nDelayMs);

    CEventLoop* m_pLoop = nullptr;
    CEventLoop::WatchId m_nWatch = 0;
    int m_fd = -1;
    bool m_bRunning = false;
    std::function<void()> m_callback;
};
