// What the gateway asks of the desktop's main window (the monitor window): redraw the counters,
// and read, write and scroll the log pane.
//
// Implemented by the desktop front end and by the headless one. Every operation may be called
// from either thread; an implementation whose window lives on the UI thread hands the call to
// that thread and waits for it, which is safe because every wait of the UI thread pumps.
#pragma once

#include <string>

class IMainWindow {
public:
    virtual ~IMainWindow() = default;

    virtual void Refresh() = 0;
    virtual std::string GetLogText() = 0;
    virtual void SetLogText(const std::string& strText) = 0;
    virtual void ScrollLogToEnd() = 0;
};
