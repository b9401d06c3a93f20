// CLoopDeadline: a one-shot bound on the calling thread's event loop that costs nothing to re-arm.
//
// Owned by whoever made it; Arm, Cancel and the callback run on the thread whose CEventLoop was
// current at the first Arm. The loop keeps the armed deadlines of each delay in the order they
// fall due and ends its wait at the earliest one, so arming, re-arming and cancelling take no
// system call, no descriptor and no allocation: a bound that moves with every block relayed
// stays cheap. Destroying the deadline cancels it; it must not outlive its loop while armed.
// Without a loop on the thread, Arm returns false and the callback never runs.
#pragma once

#include <functional>

class CEventLoop;

class CLoopDeadline {
public:
    CLoopDeadline() = default;
    ~CLoopDeadline() { Cancel(); }
    CLoopDeadline(const CLoopDeadline&) = delete;
    CLoopDeadline& operator=(const CLoopDeadline&) = delete;

    // (Re)arms: the callback runs once, nDelayMs from now.
    bool Arm(int nDelayMs, std::function<void()> callback);
    // Moves an armed deadline to nDelayMs from now, keeping its callback; nothing when not armed.
    void Rearm();
    void Cancel();
    bool IsArmed() const { return m_bArmed; }

    // Milliseconds of the monotonic clock the deadlines run on.
    static long long NowMs();

private:
    friend class CEventLoop;
    void Fire();

    CEventLoop* m_pLoop = nullptr;
    CLoopDeadline* m_pPrev = nullptr;
    CLoopDeadline* m_pNext = nullptr;
    bool m_bArmed = false;
    int m_nDelayMs = 0;
    long long m_nDueMs = 0;
    std::function<void()> m_callback;
};
