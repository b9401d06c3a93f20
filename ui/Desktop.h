// CDesktop: Qt and the gateway's event loop on one UI thread.
//
// Made once by the thread that becomes the UI thread, before the application object starts: it
// makes the QApplication and the thread's CEventLoop (home of the configuration test's socket
// and the single-instance channel), watches the loop's epoll descriptor from Qt so that the
// loop's work runs from Qt's event loop and from every modal loop, and installs one pump that
// serves both the loop and Qt's pending events, so that every UI-thread wait (stopping the
// listener, the mail-server test, the foreground run's waits) also serves calls handed over by
// the listener thread. It installs the Qt message boxes as the message-box service.
//
// Invoke is the blocking hand-off from another thread: the call runs on the UI thread while the
// caller waits (a call made on the UI thread itself runs at once); Post hands a call over
// without waiting. Destroyed on the UI thread after every window; the services it installed
// are removed then, and the boxes still open for another thread are closed.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/EventLoop.h"

class QApplication;
class QSocketNotifier;
class CQtMessageBox;

class CDesktop {
public:
    CDesktop(int& argc, char** argv);
    // The desktop of the program on the display the environment names, or null when that
    // display cannot be opened (a notice on standard error says so; Qt's own complaints are
    // kept off it). Qt sees none of the program's switches.
    static std::unique_ptr<CDesktop> Open(const char* pszProgram);
    ~CDesktop();
    CDesktop(const CDesktop&) = delete;
    CDesktop& operator=(const CDesktop&) = delete;

    // The desktop of this process, or null.
    static CDesktop* Instance();

    bool IsUiThread() const { return std::this_thread::get_id() == m_uiThread; }
    CEventLoop& Loop() { return *m_pLoop; }
    CQtMessageBox& MessageBoxes() { return *m_pBoxes; }

    // Runs fn on the UI thread and returns when it has run. False when it could not run there
    // (the UI thread's loop has gone).
    bool Invoke(const std::function<void()>& fn) const;
    // Queues fn for the UI thread and returns at once. False when the UI thread's loop has gone
    // (fn is then dropped unrun).
    bool Post(std::function<void()> fn) const { return m_poster.Post(std::move(fn)); }

private:
    class CQtPump;

    std::thread::id m_uiThread;
    std::unique_ptr<QApplication> m_pApplication;
    std::unique_ptr<CEventLoop> m_pLoop;
    CLoopPoster m_poster;
    std::unique_ptr<QSocketNotifier> m_pNotifier;
    std::unique_ptr<CQtPump> m_pPump;
    std::unique_ptr<CQtMessageBox> m_pBoxes;
};
