// What the gateway asks of the desktop's main window (the monitor window): redraw the counters,
// and read and append to the log pane.
//
// Implemented by the desktop front end and by the headless one. Every operation may be called
// from either thread; an implementation whose window lives on the UI thread hands the call to
// that thread and waits for it, which is safe because every wait of the UI thread pumps. An
// append is one step on the pane's own thread, so appends from both threads never lose one
// another's text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class IMainWindow {
public:
    // AppendLogText's limit that keeps all of the text.
    static constexpr size_t kKeepAll = SIZE_MAX;

    virtual ~IMainWindow() = default;

    virtual void Refresh() = 0;
    // The pane's text, byte for byte (CR LF line ends included).
    virtual std::string GetLogText() = 0;
    // Appends strText to the pane. With a limit other than kKeepAll, whole oldest lines then
    // leave (AppendToPane) and the pane scrolls to its last line.
    virtual void AppendLogText(const std::string& strText, size_t nMaxText) = 0;
};

// The pane's rule: appends strText, then, while the text is longer than nMaxText, removes
// everything up to and including its first line feed (stopping when none is left). Returns the
// number of bytes removed from the front.
size_t AppendToPane(std::string& strPane, const std::string& strText, size_t nMaxText);
