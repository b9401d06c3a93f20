// The per-thread message loop: epoll for descriptor readiness, an eventfd for items posted from
// other threads, an idle hook, and a quit request.
//
// Owned by the thread that constructs it; Watch, Rewatch, Unwatch, Run, Pump and arming or
// stopping a deadline run on that thread only, and each asserts it (platform/ThreadAffinity.h).
// Post and PostQuit may be called from any thread, also through a CLoopPoster that stays safe to
// use after the loop is gone (posting then does nothing).
//
// Watches are level-triggered: a descriptor that stays ready is reported again on every pass,
// so a handler that does not consume its readiness is called again. Each dispatch looks the
// watch up anew, so a handler may unwatch (or close) any other descriptor of the same batch.
// A watch whose mask is 0 is parked: nothing at all is reported for it, not even a hang-up,
// until Rewatch gives it a mask again. Parking costs no system call until epoll reports the
// descriptor once more (it then leaves epoll after that batch), so a descriptor closed soon
// after it was parked never costs one.
//
// Deadlines (CLoopDeadline) are kept by the loop itself: the wait of a pass ends at the earliest
// one, and each pass ends by running those that are due, nested pumps included, after reading
// whatever input is ready then (a bound is judged by the bytes that came, not by how long the
// loop was held up), as Redis's event loop handles file events before time events.
//
// A quit item ends the pass that dispatches it and the loop's Run, even when a nested Pump
// takes it, so a stop request can never be lost inside a handler's wait. Pumping goes on
// working after a quit (a wait that pumps still serves the calls handed to this thread); the
// quit is used up when the outermost Run returns.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/ThreadAffinity.h"

#include "platform/MessagePump.h"

class CLoopDeadline;

enum class ItemKind {
    Task,   // an ordinary posted call
    Close,  // a posted call that ends the current pump pass (the window-close message)
    Quit,   // ends the pass and the loop
};

class CTaskQueue;

// A thread-safe handle for posting to a loop that may already have ended.
class CLoopPoster {
public:
    CLoopPoster() = default;
    explicit CLoopPoster(std::shared_ptr<CTaskQueue> pQueue) : m_pQueue(std::move(pQueue)) {}

    // False when the loop is gone (or the handle is empty); the task is then dropped.
    bool Post(std::function<void()> task, ItemKind kind = ItemKind::Task) const;
    bool PostQuit() const;

private:
    std::shared_ptr<CTaskQueue> m_pQueue;
};

class CEventLoop final : public CMessagePump {
public:
    using WatchId = std::uint64_t;
    // Called with the epoll event bits that are ready and asked for (EPOLLERR and EPOLLHUP are
    // always passed on).
    using WatchHandler = std::function<void(std::uint32_t nEvents)>;

    static constexpr int kPumpLimit = 20;

    CEventLoop();  // installs itself as the calling thread's pump
    ~CEventLoop() override;
    CEventLoop(const CEventLoop&) = delete;
    CEventLoop& operator=(const CEventLoop&) = delete;

    // The loop of the calling thread, or null.
    static CEventLoop* ForThisThread();

    bool IsValid() const { return m_fdEpoll >= 0; }
    // Aborts, naming pWhat, unless the caller runs on the loop's own thread.
    void AssertOwner(const char* pWhat) const { m_owner.Assert(pWhat); }
    // Readable whenever something is pending (a posted item or a ready watch), so another
    // toolkit's loop on this thread can watch it and Pump when it is.
    int EpollFd() const { return m_fdEpoll; }

    // Returns 0 and sets errno when the descriptor cannot be watched. Watching a descriptor again
    // replaces its earlier watch (also one left behind by a descriptor closed while watched).
    WatchId Watch(int fd, std::uint32_t nEvents, WatchHandler handler);
    bool Rewatch(WatchId id, std::uint32_t nEvents);
    // bClosing: the descriptor is about to be closed, which takes it out of epoll by itself.
    void Unwatch(WatchId id, bool bClosing = false);

    void Post(std::function<void()> task, ItemKind kind = ItemKind::Task);
    void PostQuit();
    CLoopPoster Poster() const { return CLoopPoster(m_pQueue); }

    // Runs whenever the loop finds nothing pending, before it sleeps.
    void SetIdleHandler(std::function<void()> idle) { m_idle = std::move(idle); }
    // Runs after every pass of the outermost Run (never inside a handler or a nested pump).
    void SetPassEndHandler(std::function<void()> passEnd) { m_passEnd = std::move(passEnd); }

    // Dispatches until a quit item has been dispatched, running the idle hook whenever nothing
    // is pending. Returns at once when a quit was taken before it started. Nested calls (a
    // modal wait inside a handler) end together with the outer one on the same quit.
    void Run();
    int Pump(int nMaxItems) override;
    // A quit has been dispatched and the outermost Run has not returned yet.
    bool IsQuitting() const { return m_bQuitPending; }

private:
    struct CWatch {
        int fd;
        std::uint32_t nEvents;      // 0: parked, nothing is dispatched
        std::uint32_t nRegistered;  // as epoll has it; 0: not registered
        std::shared_ptr<WatchHandler> handler;
    };

    int Dispatch(int nMaxItems, int nTimeoutMs);
    bool DispatchTask(bool& bEndsPass);
    bool DispatchReady(const struct epoll_event& event);
    void DrainWakeup();
    // Takes the parked watches that epoll reported in the last batch out of epoll.
    void ParkReported();
    void ForgetEarlierWatch(int fd);

    friend class CLoopDeadline;
    // Armed deadlines of one delay, in the order they fall due.
    struct CDeadlineChain {
        CLoopDeadline* pHead = nullptr;
        CLoopDeadline* pTail = nullptr;
    };
    void LinkDeadline(CLoopDeadline& deadline);
    void UnlinkDeadline(CLoopDeadline& deadline);
    int RunDueDeadlines();
    bool AnyDeadlineDue() const;
    int DispatchAllReady();
    // How long the blocking wait may last: until the earliest deadline, or for ever (-1).
    int WaitLimitMs() const;

    CThreadAffinity m_owner;
    int m_fdEpoll = -1;
    std::shared_ptr<CTaskQueue> m_pQueue;
    std::unordered_map<WatchId, CWatch> m_watches;
    std::unordered_map<int, WatchId> m_fdOwners;  // descriptor -> its current watch
    std::vector<WatchId> m_parkedReported;
    WatchId m_nNextWatch = 1;
    std::function<void()> m_idle;
    std::function<void()> m_passEnd;
    // By delay; a map, whose iterators outlive an insertion, since a deadline's callback may arm
    // one of a delay not seen before while the due ones are being run.
    std::map<int, CDeadlineChain> m_deadlines;
    std::uint64_t m_nQuitsTaken = 0;  // lets a pass see a quit taken by a nested pump
    bool m_bQuitPending = false;
    int m_nRunDepth = 0;
    CMessagePump* m_pPreviousPump = nullptr;
    CEventLoop* m_pPreviousLoop = nullptr;
};
