// CWinApp: the framework part of the application object: the main window and the UI thread.
//
// The thread that constructs it is the UI thread. Nothing reaches it through a global: the
// application object hands what each part needs to it at construction. m_pMainWnd may be read
// on any thread (the listener logs to the window's pane); it is set and cleared on the UI
// thread only.
#pragma once

#include <atomic>

#include "platform/MainWindow.h"
#include "platform/ThreadAffinity.h"

class CWinApp {
public:
    CWinApp() = default;
    virtual ~CWinApp() = default;
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // The monitor window while the foreground run shows it, null otherwise.
    std::atomic<IMainWindow*> m_pMainWnd{nullptr};

    // Whether the caller runs on the UI thread (the one that constructed this object).
    bool IsUiThread() const { return m_uiThread.IsOwner(); }
    // Aborts, naming pWhat, when a UI-only operation is called on another thread.
    void AssertUiThread(const char* pWhat) const { m_uiThread.Assert(pWhat); }

private:
    CThreadAffinity m_uiThread;
};
