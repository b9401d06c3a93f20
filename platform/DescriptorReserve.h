// CDescriptorReserve: descriptors set aside before an accept, so that a client is taken only
// when all it needs can be had: a stream socket for its channel to the mail server (handed on
// with the client) and one spare descriptor for what handling the accept opens for a moment
// (the activity log, the debug dump, a resolver socket), closed once the accept has been made.
// At the descriptor limit, the accept is then not attempted and the client waits in the
// listen backlog, instead of being taken without a channel, a log line or a DNS answer.
//
// Owned by the listener for one accept notification, on its thread. Make returns false with
// errno set (EMFILE, ENFILE) when the descriptors are not there; what was made is closed when
// the object goes unless taken.
//
// Setting the spare aside costs two system calls per accept, which matter only near the limit:
// CDescriptorBudget tells, without a system call, when the process is so far from it that the
// spare is certainly there and need not be made.
#pragma once

#include <cstddef>

class CDescriptorReserve {
public:
    CDescriptorReserve() = default;
    ~CDescriptorReserve();
    CDescriptorReserve(const CDescriptorReserve&) = delete;
    CDescriptorReserve& operator=(const CDescriptorReserve&) = delete;

    // Sets aside the spare descriptor (unless !bSpare), and the channel's socket when bChannel.
    bool Make(bool bChannel, bool bSpare = true);
    // The channel's socket (non-blocking, close-on-exec, IPv4 stream), now the caller's; -1
    // when none was made.
    int TakeChannelSocket();
    // Gives the spare descriptor back, for the work that follows the accept.
    void ReleaseSpare();

private:
    int m_fdChannel = -1;
    int m_fdSpare = -1;
};

// Whether an accept is far enough from the descriptor limit to need no spare set aside. The
// caller counts what its connections may hold; everything else the process holds (the loops,
// the listening and metrics sockets, the resolver's sockets, the desktop's, a log file open for
// a moment) is allowed kAllowance descriptors, many times what it uses. The soft limit is read
// at the first check and again every kChecksPerRead checks, so that a limit changed while the
// gateway runs is followed soon. Owned and used by one thread.
class CDescriptorBudget {
public:
    static constexpr size_t kAllowance = 256;
    static constexpr unsigned kChecksPerRead = 1024;

    bool IsFarFromLimit(size_t nHeldByConnections);

private:
    size_t m_nLimit = 0;
    unsigned m_nChecksLeft = 0;
};
