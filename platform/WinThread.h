// CWinThread: a worker thread with its own message loop (a CEventLoop).
//
// Owned by the object that makes it, on the creating thread. CreateThread starts the thread
// and returns once the new thread's loop exists and InitInstance has run there, so whatever
// InitInstance found (a socket it could not open, say) can be read by the creator afterwards,
// and a quit posted right away is never lost. On the new thread: InitInstance; then the loop,
// which calls OnIdle whenever it finds nothing pending; a quit request ends it; then
// ExitInstance runs and the loop is destroyed. Stop posts the quit and joins the thread; the
// owner calls it before destroying the object (the destructor joins as a last resort). Other
// threads reach a running thread only through Poster(): posting through it stays safe after
// the thread has ended (the post is then dropped). The running thread never waits for its
// owner, so the owner's join always ends. A thread that cannot be started makes CreateThread
// false.
#pragma once

#include <memory>
#include <thread>

#include "platform/AsyncSocket.h"
#include "platform/EventLoop.h"

class CStartSignal;

class CWinThread {
public:
    CWinThread() = default;
    virtual ~CWinThread();
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;

    // Starts the thread; pPoster (when given) receives the handle for posting to its loop.
    bool CreateThread(CLoopPoster* pPoster = nullptr);
    // Asks the loop to quit and waits until the thread has ended. Not on the thread itself.
    void Stop();
    bool IsRunning() const { return m_thread.joinable(); }

    virtual BOOL InitInstance() { return TRUE; }
    // Called once whenever the loop runs out of pending work; TRUE asks for more idle calls.
    virtual BOOL OnIdle(LONG lCount);
    virtual int ExitInstance() { return 0; }

private:
    void ThreadMain(std::shared_ptr<CStartSignal> pStarted);

    std::thread m_thread;
    CLoopPoster m_poster;
};
