#include "platform/WinThread.h"

#include <future>
#include <system_error>
#include <thread>

class CStartSignal {
public:
    std::promise<CLoopPoster> m_started;
};

BOOL CWinThread::OnIdle(LONG) { return FALSE; }

bool CWinThread::CreateThread(CLoopPoster* pPoster) {
    CStartSignal started;
    std::future<CLoopPoster> poster = started.m_started.get_future();
    try {
        std::thread(&CWinThread::ThreadMain, this, &started).detach();
    } catch (const std::system_error&) {
        return false;
    }
    CLoopPoster loopPoster = poster.get();
    if (pPoster != nullptr) *pPoster = loopPoster;
    return true;
}

// The object deletes itself at the end, so nothing after that touches a member.
void CWinThread::ThreadMain(CStartSignal* pStarted) {
    {
        CEventLoop loop;
        pStarted->m_started.set_value(loop.Poster());
        // pStarted belongs to the creator, which returns as soon as the value is set.
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
