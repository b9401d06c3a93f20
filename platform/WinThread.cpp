#include "platform/WinThread.h"

#include <future>
#include <system_error>

// Shared by both threads, so that the promise outlives a creator that returns as soon as the
// value is there, while set_value may still be finishing on the new thread.
class CStartSignal {
public:
    std::promise<CLoopPoster> m_started;
};

CWinThread::~CWinThread() {
    if (m_thread.joinable()) Stop();
}

BOOL CWinThread::OnIdle(LONG) { return FALSE; }

bool CWinThread::CreateThread(CLoopPoster* pPoster) {
    auto pStarted = std::make_shared<CStartSignal>();
    std::future<CLoopPoster> poster = pStarted->m_started.get_future();
    try {
        m_thread = std::thread(&CWinThread::ThreadMain, this, pStarted);
    } catch (const std::system_error&) {
        return false;
    }
    m_poster = poster.get();
    if (pPoster != nullptr) *pPoster = m_poster;
    return true;
}

void CWinThread::Stop() {
    if (!m_thread.joinable()) return;
    m_poster.PostQuit();
    m_thread.join();
    m_poster = CLoopPoster();
}

// The creator hears of the thread once InitInstance is over (or the loop could not be made),
// so that it reads InitInstance's findings without a lock.
void CWinThread::ThreadMain(std::shared_ptr<CStartSignal> pStarted) {
    CEventLoop loop;
    if (!loop.IsValid()) {
        pStarted->m_started.set_value(loop.Poster());
        ExitInstance();
        return;
    }
    const BOOL bInit = InitInstance();
    pStarted->m_started.set_value(loop.Poster());
    pStarted.reset();
    if (bInit) {
        loop.SetIdleHandler([this] {
            for (LONG lCount = 0; OnIdle(lCount); ++lCount) {
            }
        });
        loop.Run();
    }
    ExitInstance();
}
