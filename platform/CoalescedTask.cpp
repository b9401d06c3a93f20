#include "platform/CoalescedTask.h"

#include <atomic>

#include "platform/EventLoop.h"
#include "platform/LoopTimer.h"

// What the posted item reaches, weakly: the task may go before its item is dispatched.
struct CCoalescedTask::CState {
    CState(int nPeriod, std::function<bool()> fnWork)
        : nPeriodMs(nPeriod), work(std::move(fnWork)) {
        if (CEventLoop* pLoop = CEventLoop::ForThisThread()) {
            bHasLoop = true;
            poster = pLoop->Poster();
            timer.Prepare();
        }
    }
    // Owning thread. Without a timer (no descriptor for it) the work is done now, once.
    void Arm() {
        if (timer.IsRunning() || timer.Start(nPeriodMs, [this] { Run(); })) return;
        bRequested = false;
        work();
    }
    // The flag goes down before the work, so that a request made while it runs is not lost.
    void Run() {
        bRequested = false;
        if (work()) Arm();
    }

    const int nPeriodMs;
    const std::function<bool()> work;
    std::atomic<bool> bRequested{false};
    bool bHasLoop = false;
    CLoopPoster poster;
    CLoopTimer timer;
};

CCoalescedTask::CCoalescedTask(int nPeriodMs, std::function<bool()> work)
    : m_pState(std::make_shared<CState>(nPeriodMs, std::move(work))) {}

CCoalescedTask::~CCoalescedTask() = default;

void CCoalescedTask::Request() {
    CState& state = *m_pState;
    if (state.bRequested.exchange(true)) return;
    if (!state.bHasLoop) return state.Run();
    std::weak_ptr<CState> pWeak = m_pState;
    state.poster.Post([pWeak] {
        if (auto pState = pWeak.lock()) pState->Arm();
    });
}

void CCoalescedTask::RunNow() {
    m_pState->timer.Stop();
    m_pState->Run();
}
