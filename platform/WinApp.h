// The application object's framework part: the one instance of the process, its main window,
// and the message pump of whichever thread calls.
//
// Each subsystem adds its own share of the application object in a class derived from this one
// (CLoggingApp, CGatewayCore, CGatewayApp), so that every layer builds against only the layers
// below it, and all of them reach the one object through AfxGetApp(). Constructing an object
// makes it the current one; destroying it clears the accessor. The thread that constructs it is
// the UI thread.
#pragma once

#include <atomic>
#include <thread>

#include "platform/MainWindow.h"

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // The monitor window while the foreground run shows it, null otherwise.
    std::atomic<IMainWindow*> m_pMainWnd{nullptr};

    // Dispatches at most 20 pending items of the calling thread's pump, without waiting.
    void PumpMessages();
    // Whether the caller runs on the UI thread (the one that constructed this object).
    bool IsUiThread() const { return std::this_thread::get_id() == m_uiThread; }

private:
    std::thread::id m_uiThread = std::this_thread::get_id();
};

// The one application object, or null before it is constructed.
CWinApp* AfxGetApp();

// The application object seen as the layer the caller builds on.
template <class TApp>
TApp& AppAs() {
    return static_cast<TApp&>(*AfxGetApp());
}
