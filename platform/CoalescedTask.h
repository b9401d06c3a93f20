// CCoalescedTask: work that other threads ask for without waiting, done on the thread that made
// the task at most once per period, however often it is asked for meanwhile.
//
// Made, run and destroyed on one thread, whose CEventLoop runs it; a timer on that loop spaces
// the runs. Request may be called from any thread while the object lives: the first request
// after a run posts one item to the loop, which starts the timer, and the requests that follow
// until the timer fires join that run at the cost of an atomic exchange. RunNow does the work at
// once (on the owning thread). Work that returns true is not finished (output nobody reads yet,
// say) and runs again a period later. A request that cannot reach the loop any more (it has
// ended) does nothing; without a loop on the owning thread, Request does the work at once on
// the caller's thread.
#pragma once

#include <functional>
#include <memory>

class CCoalescedTask {
public:
    CCoalescedTask(int nPeriodMs, std::function<bool()> work);
    ~CCoalescedTask();
    CCoalescedTask(const CCoalescedTask&) = delete;
    CCoalescedTask& operator=(const CCoalescedTask&) = delete;

    void Request();
    void RunNow();

private:
    struct CState;
    std::shared_ptr<CState> m_pState;
};
