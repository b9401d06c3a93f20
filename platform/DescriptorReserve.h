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
#pragma once

class CDescriptorReserve {
public:
    CDescriptorReserve() = default;
    ~CDescriptorReserve();
    CDescriptorReserve(const CDescriptorReserve&) = delete;
    CDescriptorReserve& operator=(const CDescriptorReserve&) = delete;

    // Sets aside the spare descriptor, and the channel's socket when bChannel.
    bool Make(bool bChannel);
    // The channel's socket (non-blocking, close-on-exec, IPv4 stream), now the caller's; -1
    // when none was made.
    int TakeChannelSocket();
    // Gives the spare descriptor back, for the work that follows the accept.
    void ReleaseSpare();

private:
    int m_fdChannel = -1;
    int m_fdSpare = -1;
};
