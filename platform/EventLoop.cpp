#include "platform/EventLoop.h"

#include "platform/LoopDeadline.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <mutex>

namespace {
thread_local CEventLoop* t_pLoop = nullptr;
constexpr CEventLoop::WatchId kWakeupId = 0;
constexpr int kRunBatch = 64;
// What is read before due deadlines are judged: every descriptor that can be ready at once, in
// practice (the listener's clients hold two each).
constexpr int kReadyBatch = 1024;
}  // namespace

// The part of a loop that other threads touch: the posted items and the wake-up descriptor.
class CTaskQueue {
public:
    struct CItem {
        std::function<void()> task;
        ItemKind kind;
    };

    CTaskQueue() : m_fdWakeup(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~CTaskQueue() { CloseQueue(); }

    int WakeupFd() const { return m_fdWakeup; }

    bool Push(std::function<void()> task, ItemKind kind) {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_fdWakeup < 0) return false;
        m_items.push_back(CItem{std::move(task), kind});
        const std::uint64_t one = 1;
        // A full counter still leaves the descriptor readable, so a failed write loses nothing.
        (void)!write(m_fdWakeup, &one, sizeof one);
        return true;
    }

    bool Pop(CItem& item) {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_items.empty()) return false;
        item = std::move(m_items.front());
        m_items.pop_front();
        return true;
    }

    void Drain() {
        std::uint64_t count = 0;
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_fdWakeup >= 0) (void)!read(m_fdWakeup, &count, sizeof count);
    }

    // Later posts are refused. The dropped items are destroyed outside the lock, since what a
    // task captured may post again while it goes.
    void CloseQueue() {
        std::deque<CItem> dropped;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_fdWakeup >= 0) close(m_fdWakeup);
            m_fdWakeup = -1;
            dropped.swap(m_items);
        }
    }

private:
    std::mutex m_lock;
    std::deque<CItem> m_items;
    int m_fdWakeup;
};

bool CLoopPoster::Post(std::function<void()> task, ItemKind kind) const {
    return m_pQueue && m_pQueue->Push(std::move(task), kind);
}

bool CLoopPoster::PostQuit() const { return Post({}, ItemKind::Quit); }

CEventLoop::CEventLoop()
    : m_fdEpoll(epoll_create1(EPOLL_CLOEXEC)), m_pQueue(std::make_shared<CTaskQueue>()) {
    if (m_fdEpoll >= 0 && m_pQueue->WakeupFd() >= 0) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = kWakeupId;
        epoll_ctl(m_fdEpoll, EPOLL_CTL_ADD, m_pQueue->WakeupFd(), &event);
    }
    m_pPreviousPump = CMessagePump::Current();
    CMessagePump::SetCurrent(this);
    m_pPreviousLoop = t_pLoop;
    t_pLoop = this;
}

CEventLoop::~CEventLoop() {
    m_pQueue->CloseQueue();
    if (m_fdEpoll >= 0) close(m_fdEpoll);
    if (CMessagePump::Current() == this) CMessagePump::SetCurrent(m_pPreviousPump);
    if (t_pLoop == this) t_pLoop = m_pPreviousLoop;
}

CEventLoop* CEventLoop::ForThisThread() { return t_pLoop; }

CEventLoop::WatchId CEventLoop::Watch(int fd, std::uint32_t nEvents, WatchHandler handler) {
    m_owner.Assert("CEventLoop::Watch");
    ForgetEarlierWatch(fd);
    const WatchId id = m_nNextWatch++;
    if (nEvents != 0) {
        epoll_event event{};
        event.events = nEvents;
        event.data.u64 = id;
        if (epoll_ctl(m_fdEpoll, EPOLL_CTL_ADD, fd, &event) != 0) return 0;
    }
    m_watches.emplace(
        id, CWatch{fd, nEvents, nEvents, std::make_shared<WatchHandler>(std::move(handler))});
    m_fdOwners[fd] = id;
    return id;
}

// A descriptor closed without being unwatched leaves its watch behind; once the number is
// reused, that old watch must neither receive the new descriptor's events nor unregister it.
void CEventLoop::ForgetEarlierWatch(int fd) {
    auto owner = m_fdOwners.find(fd);
    if (owner == m_fdOwners.end()) return;
    auto it = m_watches.find(owner->second);
    // Fails harmlessly when the old descriptor is gone (epoll dropped it on close).
    if (it != m_watches.end() && it->second.nRegistered != 0)
        epoll_ctl(m_fdEpoll, EPOLL_CTL_DEL, fd, nullptr);
    if (it != m_watches.end()) m_watches.erase(it);
    m_fdOwners.erase(owner);
}

// Parking costs no system call at once: most parked descriptors are closed before epoll reports
// them again, and closing takes them out of epoll by itself. One that is reported while parked
// leaves epoll after that batch (ParkReported): epoll reports hang-ups and errors even for an
// empty mask, and a level-triggered hang-up would then spin the loop.
bool CEventLoop::Rewatch(WatchId id, std::uint32_t nEvents) {
    m_owner.Assert("CEventLoop::Rewatch");
    auto it = m_watches.find(id);
    if (it == m_watches.end()) return false;
    CWatch& watch = it->second;
    if (nEvents == 0 || nEvents == watch.nRegistered) {
        watch.nEvents = nEvents;
        return true;
    }
    epoll_event event{};
    event.events = nEvents;
    event.data.u64 = id;
    const int nOp = watch.nRegistered == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    if (epoll_ctl(m_fdEpoll, nOp, watch.fd, &event) != 0) return false;
    watch.nEvents = watch.nRegistered = nEvents;
    return true;
}

void CEventLoop::ParkReported() {
    for (WatchId id : m_parkedReported) {
        auto it = m_watches.find(id);
        if (it == m_watches.end() || it->second.nEvents != 0 || it->second.nRegistered == 0)
            continue;
        epoll_ctl(m_fdEpoll, EPOLL_CTL_DEL, it->second.fd, nullptr);
        it->second.nRegistered = 0;
    }
    m_parkedReported.clear();
}

void CEventLoop::Unwatch(WatchId id, bool bClosing) {
    m_owner.Assert("CEventLoop::Unwatch");
    auto it = m_watches.find(id);
    if (it == m_watches.end()) return;
    if (it->second.nRegistered != 0 && !bClosing)
        epoll_ctl(m_fdEpoll, EPOLL_CTL_DEL, it->second.fd, nullptr);
    m_fdOwners.erase(it->second.fd);
    m_watches.erase(it);
}

void CEventLoop::Post(std::function<void()> task, ItemKind kind) {
    m_pQueue->Push(std::move(task), kind);
}

void CEventLoop::PostQuit() { Post({}, ItemKind::Quit); }

void CEventLoop::Run() {
    m_owner.Assert("CEventLoop::Run");
    if (!IsValid()) return;
    ++m_nRunDepth;
    auto passEnded = [this] {
        if (m_nRunDepth == 1 && m_passEnd) m_passEnd();
    };
    // A pass that took fewer items than it could found nothing more pending: the loop then goes
    // idle and waits at once, instead of first looking again without waiting (a wait returns at
    // once anyway when something came meanwhile).
    bool bMayHaveMore = true;
    while (!m_bQuitPending) {
        if (bMayHaveMore) {
            const int nDone = Dispatch(kRunBatch, 0);
            passEnded();
            bMayHaveMore = nDone >= kRunBatch;
            if (nDone > 0) continue;
        }
        if (m_idle) m_idle();
        if (m_bQuitPending) break;
        bMayHaveMore = Dispatch(kRunBatch, WaitLimitMs()) >= kRunBatch;
        passEnded();
    }
    // The quit is used up by the outermost Run; a nested one leaves it for its caller.
    if (--m_nRunDepth == 0) m_bQuitPending = false;
}

int CEventLoop::Pump(int nMaxItems) {
    m_owner.Assert("CEventLoop::Pump");
    return Dispatch(nMaxItems, 0);
}

// Posted items go first; then one epoll batch. Only the first wait may block. The pass ends
// after a quit or close item, also when a handler's nested pump took the quit. The deadlines
// that are due run last, once what is ready has been read (see RunDueDeadlines).
int CEventLoop::Dispatch(int nMaxItems, int nTimeoutMs) {
    const std::uint64_t nQuitsAtStart = m_nQuitsTaken;
    auto passGoesOn = [&] { return m_nQuitsTaken == nQuitsAtStart; };
    int nCount = 0;
    while (nCount < nMaxItems && passGoesOn()) {
        bool bEndsPass = false;
        if (DispatchTask(bEndsPass)) {
            ++nCount;
            if (bEndsPass) break;
            continue;
        }
        epoll_event events[kRunBatch];
        const int nWant = std::min(nMaxItems - nCount, kRunBatch);
        const int nReady = epoll_wait(m_fdEpoll, events, nWant, nTimeoutMs);
        nTimeoutMs = 0;
        if (nReady < 0 && errno == EINTR) continue;
        if (nReady <= 0) break;
        bool bTasksWaiting = false;
        for (int i = 0; i < nReady && nCount < nMaxItems && passGoesOn(); ++i) {
            if (events[i].data.u64 == kWakeupId) {
                DrainWakeup();
                bTasksWaiting = true;
            } else if (DispatchReady(events[i])) {
                ++nCount;
            }
        }
        ParkReported();
        if (!bTasksWaiting && nReady < nWant) break;
    }
    if (passGoesOn()) nCount += RunDueDeadlines();
    return nCount;
}

// Whatever epoll reports ready now, dispatched at once (one batch of at most kReadyBatch).
int CEventLoop::DispatchAllReady() {
    epoll_event events[kReadyBatch];
    int nReady = 0;
    do nReady = epoll_wait(m_fdEpoll, events, kReadyBatch, 0);
    while (nReady < 0 && errno == EINTR);
    int nCount = 0;
    for (int i = 0; i < nReady; ++i) {
        if (events[i].data.u64 == kWakeupId) continue;  // posted items wait for the next pass
        if (DispatchReady(events[i])) ++nCount;
    }
    ParkReported();
    return nCount;
}

bool CEventLoop::DispatchTask(bool& bEndsPass) {
    CTaskQueue::CItem item;
    if (!m_pQueue->Pop(item)) return false;
    if (item.kind == ItemKind::Quit) {
        ++m_nQuitsTaken;
        m_bQuitPending = true;
    }
    if (item.task) item.task();
    bEndsPass = item.kind != ItemKind::Task;
    return true;
}

bool CEventLoop::DispatchReady(const epoll_event& event) {
    auto it = m_watches.find(event.data.u64);
    if (it == m_watches.end()) return false;  // unwatched by an earlier handler of this batch
    if (it->second.nEvents == 0) {            // parked, perhaps by an earlier handler of this batch
        m_parkedReported.push_back(it->first);
        return false;
    }
    const std::uint32_t nBits = event.events & (it->second.nEvents | EPOLLERR | EPOLLHUP);
    if (nBits == 0) return false;
    std::shared_ptr<WatchHandler> pHandler = it->second.handler;  // the handler may unwatch itself
    (*pHandler)(nBits);
    return true;
}

void CEventLoop::DrainWakeup() { m_pQueue->Drain(); }

void CEventLoop::LinkDeadline(CLoopDeadline& deadline) {
    m_owner.Assert("CLoopDeadline::Arm");
    CDeadlineChain& chain = m_deadlines[deadline.m_nDelayMs];
    deadline.m_pPrev = chain.pTail;
    deadline.m_pNext = nullptr;
    (chain.pTail ? chain.pTail->m_pNext : chain.pHead) = &deadline;
    chain.pTail = &deadline;
}

void CEventLoop::UnlinkDeadline(CLoopDeadline& deadline) {
    m_owner.Assert("CLoopDeadline::Stop");
    CDeadlineChain& chain = m_deadlines[deadline.m_nDelayMs];
    (deadline.m_pPrev ? deadline.m_pPrev->m_pNext : chain.pHead) = deadline.m_pNext;
    (deadline.m_pNext ? deadline.m_pNext->m_pPrev : chain.pTail) = deadline.m_pPrev;
    deadline.m_pPrev = deadline.m_pNext = nullptr;
}

// Input that is ready is read before any deadline is judged, as a loop that was held up (a
// blocking screening, a slow handler) may find the bytes that meet a bound already waiting:
// they must count, not the time the loop lost. A callback may arm, cancel or destroy any
// deadline, so each chain's head is read afresh.
int CEventLoop::RunDueDeadlines() {
    if (!AnyDeadlineDue()) return 0;
    int nCount = DispatchAllReady();
    const long long nNow = CLoopDeadline::NowMs();
    for (auto& [nDelay, chain] : m_deadlines) {
        while (chain.pHead != nullptr && chain.pHead->m_nDueMs <= nNow) {
            chain.pHead->Fire();
            ++nCount;
        }
    }
    return nCount;
}

bool CEventLoop::AnyDeadlineDue() const {
    const long long nNow = CLoopDeadline::NowMs();
    for (const auto& [nDelay, chain] : m_deadlines)
        if (chain.pHead != nullptr && chain.pHead->m_nDueMs <= nNow) return true;
    return false;
}

int CEventLoop::WaitLimitMs() const {
    long long nEarliest = -1;
    for (const auto& [nDelay, chain] : m_deadlines)
        if (chain.pHead != nullptr && (nEarliest < 0 || chain.pHead->m_nDueMs < nEarliest))
            nEarliest = chain.pHead->m_nDueMs;
    if (nEarliest < 0) return -1;
    return static_cast<int>(std::max(0LL, nEarliest - CLoopDeadline::NowMs() + 1));
}
