#include "platform/WinThread.h"

#include <future>
#include <system_error>
#include <thread>

// Shared by both threads, so that the promise outlives a creator that returns as soon as the
// value is there, while set_value may still be finishing on the new thread.
class CStartSignal {
public:
    std::promise<CLoopPoster> m_started;
};

BOOL CWinThread::OnIdle(LONG) { return FALSE; }

bool CWinThread::CreateThread(CLoopPoster* pPoster) {
    auto pStarted = std::make_shared<CStartSignal>();
    std::future<CLoopPoster> poster = pStarted->m_started.get_future();
    try {
        std::thread(&CWinThread::ThreadMain, this, pStarted).detach();
    } catch (const std::system_error&) {
        return false;
    }
    CLoopPoster loopPoster = poster.get();
    if (pPoster != nullptr) *pPoster = loopPoster;
    return true;
}

// The object deletes itself at the end, so nothing after that touches a member.
void CWinThread::ThreadMain(std::shared_ptr<CStartSignal> pStarted) {
    {
        CEventLoop loop;
        pStarted->m_started.set_value(loop.Poster());
        pStarted.reset();
        if (!loop.IsValid()) {
            ExitInstance();
        } else {
            if (InitInstance()) {
                loop.SetIdleHandler([this] {
                    for (LONG lCount = 0; OnIdle(lCount); ++lCount) {
                    }
                });
                loop.Run();
            }
            ExitInstance();
        }
    }
    delete this;
}
