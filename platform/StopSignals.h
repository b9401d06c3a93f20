// CStopSignals: SIGINT and SIGTERM taken as readable events instead of ending the process at
// once, so that the foreground run ends the way its Exit would and the shutdown lines are
// written; and SIGHUP, the request to reload the settings, taken the same way instead of ending
// the process.
//
// Making the first object installs a handler for the three signals, for the rest of the
// process: it only writes the signal's number to one pipe (kept open for the process's life),
// whatever thread the signal lands on, so no work is done inside it; signals that come when
// nobody reads any more change nothing. Programs the process starts get the default handling
// again (exec resets caught signals; nothing is blocked). Fd() turns readable when a signal is
// waiting, and Take() consumes it, in the order they came. Made and used on the UI thread. When
// the pipe cannot be made, Fd() is -1, nothing is caught and Take() finds nothing.
#pragma once

class CStopSignals {
public:
    CStopSignals();
    CStopSignals(const CStopSignals&) = delete;
    CStopSignals& operator=(const CStopSignals&) = delete;

    int Fd() const { return m_fd; }
    // The signal taken (SIGINT, SIGTERM or SIGHUP), or 0 when none is waiting.
    int Take();

private:
    int m_fd = -1;
};
