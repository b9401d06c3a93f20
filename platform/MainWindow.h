// What the gateway asks of the desktop's main window (the monitor window): redraw the counters,
// and read and append to the log pane.
//
// Implemented by the desktop front end and by the headless one. Every operation may be called
// from either thread and none waits for the UI thread: from the UI thread the work is done at
// once; from another thread (the listener) it is handed over and done on the UI thread a little
// later, many requests together (CCoalescedTask), so that the listener never waits for the UI.
// The pane's text (CLogPane) is appended to in one step whatever the thread, so appends from
// both threads never lose one another's text and keep the order they were made in; only showing
// them waits for the UI thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

class IMainWindow {
public:
    // AppendLogText's limit that keeps all of the text.
    static constexpr size_t kKeepAll = SIZE_MAX;

    virtual ~IMainWindow() = default;

    virtual void Refresh() = 0;
    // The pane's text, byte for byte (CR LF line ends included), every append made so far in.
    virtual std::string GetLogText() = 0;
    // Appends strText to the pane. With a limit other than kKeepAll, whole oldest lines then
    // leave (AppendToPane) and the pane scrolls to its last line.
    virtual void AppendLogText(const std::string& strText, size_t nMaxText) = 0;
};

// The pane's rule: appends strText, then, while the text is longer than nMaxText, removes
// everything up to and including its first line feed (stopping when none is left). Returns the
// number of bytes removed from the front; *pLinesCut (when given) receives the lines removed.
size_t AppendToPane(std::string& strPane, const std::string& strText, size_t nMaxText,
                    size_t* pLinesCut = nullptr);

// CLogPane: the log pane's text under the pane's rule, and what the window showing it has not
// shown yet. Append may be called from any thread (one step under a lock); TakeChanges is for
// the thread that shows the pane, which then shows the text as a whole, or the lines cut from
// its front and the text added at its end since the last take.
class CLogPane {
public:
    struct CChanges {
        bool bReplace = false;  // strText is the whole text, to be shown in place of the old
        std::string strText;    // otherwise the text added at the end
        size_t nLinesCut = 0;   // the lines that left the front of what was shown
        bool bScroll = false;   // an append with a limit came: the pane scrolls to its end
    };

    void Append(const std::string& strText, size_t nMaxText);
    std::string Text() const;
    // With bWhole, the changes are the whole text, as for a window showing the pane afresh.
    CChanges TakeChanges(bool bWhole = false);

private:
    mutable std::mutex m_lock;
    std::string m_strText;
    size_t m_nShownBytes = 0;  // the text's length at the last take
    std::string m_strAdded;
    size_t m_nCutBytes = 0;
    size_t m_nLinesCut = 0;
    bool m_bReplace = false;
    bool m_bScroll = false;
};
