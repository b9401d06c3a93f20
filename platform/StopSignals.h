// CStopSignals: SIGINT and SIGTERM taken as readable events instead of ending the process at
// once, so that the foreground run ends the way its Exit would and the shutdown lines are
// written.
//
// Block() must run on the UI thread before any other thread exists (the listener thread, and
// the toolkit's own threads on the desktop): threads inherit the block, so the signals wait for
// whoever reads them. An object opens a signalfd for them; its descriptor turns readable when
// one is pending, and Take() consumes it. Made and used on the UI thread. When no signalfd can
// be made, Fd() is -1 and Take() finds nothing.
#pragma once

class CStopSignals {
public:
    // Blocks SIGINT and SIGTERM on the calling thread. Blocking twice does no harm.
    static void Block();
    // Ends the process as nSignal's default action would (unblocked, default disposition).
    [[noreturn]] static void EndProcess(int nSignal);

    CStopSignals();  // also blocks them on the calling thread
    ~CStopSignals();
    CStopSignals(const CStopSignals&) = delete;
    CStopSignals& operator=(const CStopSignals&) = delete;

    int Fd() const { return m_fd; }
    // The signal taken (SIGINT or SIGTERM), or 0 when none is pending.
    int Take();
    // Waits up to nTimeoutMs for a signal: the signal taken, or 0.
    int Wait(int nTimeoutMs);

private:
    int m_fd = -1;
};
