// CConsoleOutput: lines for standard output or standard error whose writer never waits for the
// reader.
//
// Whatever reads the process's standard output (a terminal, a pipe, the journal) may stop
// reading, and a plain write would then hold the thread that makes it. Lines handed here are
// written without blocking, through a descriptor of their own opened anew on the same file with
// O_NONBLOCK (the shared one is left as it is: other processes use it too), with MSG_DONTWAIT
// on a socket, as they are on a regular file; where none of that works, only what poll says
// fits. What the stream does not take yet waits for the next Flush. Past kMaxPending bytes
// waiting, further lines are left out until everything waiting has gone out, and then a line
// says how many were left out. A stream whose reader has gone for good (EPIPE) takes nothing
// more.
//
// Thread-safe: Append, Flush and Write may be called from any thread; none of them waits.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

class CConsoleOutput {
public:
    static constexpr size_t kMaxPending = 1 << 20;

    explicit CConsoleOutput(int fd);
    ~CConsoleOutput();
    CConsoleOutput(const CConsoleOutput&) = delete;
    CConsoleOutput& operator=(const CConsoleOutput&) = delete;

    // Queues whole lines, without writing.
    void Append(const std::string& strLines);
    // Writes what waits as far as the stream takes it now; true when something still waits.
    bool Flush();
    // Append, then Flush.
    bool Write(const std::string& strLines);
    // Flushes, waiting up to nTimeoutMs in all for the stream to take the rest (as the process
    // ends); true when something still waits then.
    bool Drain(int nTimeoutMs);

    // The process's standard output and standard error.
    static CConsoleOutput& Out();
    static CConsoleOutput& Err();

private:
    enum class EWay { Write, Send, PollFirst };
    // Writes from the front of what waits; false when the stream takes no more now.
    bool WriteSome();
    void LeaveOut(const std::string& strLines);

    std::mutex m_lock;
    int m_fd;
    bool m_bOwnFd = false;
    EWay m_eWay = EWay::Write;
    std::string m_strPending;
    size_t m_nLeftOut = 0;  // lines left out since the queue was last empty
    bool m_bGone = false;
};
