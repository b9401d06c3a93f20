// CWinThread: a worker thread with its own message loop (a CEventLoop).
//
// Made on the creating thread and started with CreateThread (or AfxBeginThread), which returns
// once the new thread's loop exists, so a quit posted right away is never lost. On the new
// thread: InitInstance; then the loop, which calls OnIdle whenever it finds nothing pending;
// a quit request ends it; then ExitInstance runs, the loop is destroyed and the object deletes
// itself. Other threads reach a running thread only through Poster(): posting through it stays
// safe after the thread has ended and deleted itself (the post is then dropped).
// A thread that cannot be started leaves the object to its creator and CreateThread is false.
#pragma once

#include "platform/AsyncSocket.h"
#include "platform/EventLoop.h"

class CWinThread {
public:
    CWinThread() = default;
    virtual ~CWinThread() = default;
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;

    // Starts the thread; pPoster (when given) receives the handle for posting to its loop.
    // The object may be gone by the time this returns (InitInstance failed at once), so the
    // caller keeps the poster, not the object, for talking to the thread.
    bool CreateThread(CLoopPoster* pPoster = nullptr);

    virtual BOOL InitInstance() { return TRUE; }
    // Called once whenever the loop runs out of pending work; TRUE asks for more idle calls.
    virtual BOOL OnIdle(LONG lCount);
    virtual int ExitInstance() { return 0; }

private:
    void ThreadMain(class CStartSignal* pStarted);
};

// Makes a TThread on the calling thread and starts it; null when the thread cannot start.
template <class TThread>
TThread* AfxBeginThread(CLoopPoster* pPoster = nullptr) {
    auto* pThread = new TThread();
    if (pThread->CreateThread(pPoster)) return pThread;
    delete pThread;
    return nullptr;
}
