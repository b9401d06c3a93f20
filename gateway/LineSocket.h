// CLineSocket: the base of every connection socket (client, channel, configuration test).
//
// Adds to CAsyncSocket receives of at most 20479 bytes into a buffer borrowed for the handler,
// the assembly of received bytes into LF-terminated lines split into at most five words, a send
// queue pumped by write notifications (one send of at most 20480 bytes each), an open/closed
// state that every operation respects, and the relay pump that both ends of a relay share.
//
// Owned by whoever made it (a client for its channel, the listener for its clients, the
// configuration dialog); used only on the thread that created its socket. Handlers may pump
// that thread's loop, so a handler can be entered again while it runs. Send failures are not
// reported: the data stays queued, or is dropped when the peer can no longer take it.
//
// The watched events follow from the socket's state in one place (SyncEvents): close always,
// read unless reading is paused or over, write only while data waits. Two limits keep a relay's
// memory bounded: while the send queue holds more than kHighWater bytes, the relay's other end
// (m_pPeer) stops reading, and reads again once the queue is below kLowWater; and a line without
// LF is cut after kBufferSize bytes.
//
// Ending: CloseAfterDrain sends what is queued and closes; ShutdownAfterDrain sends what is
// queued and then only ends the sending direction (shutdown), so the peer still gets everything
// and this socket reads on until the peer closes too; then it closes. Either is given up (the
// socket closed) when kDrainMs pass without a byte moving on either end of the relay.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "gateway/ByteQueue.h"
#include "platform/AsyncSocket.h"
#include "platform/LoopDeadline.h"

// A receive buffer of CLineSocket::kBufferSize bytes, borrowed from the calling thread's pool
// for as long as one handler reads into it, and given back after: an idle socket holds none,
// so a relay costs its objects, not two buffers. A handler entered again through a nested pump
// borrows another, so a buffer is never written while a handler further up the stack still
// reads it. Not cleared when made: every receive writes before it is read.
class CReceiveBuffer {
public:
    CReceiveBuffer();
    ~CReceiveBuffer();
    CReceiveBuffer(const CReceiveBuffer&) = delete;
    CReceiveBuffer& operator=(const CReceiveBuffer&) = delete;
    char* data() { return m_pBytes.get(); }

private:
    std::unique_ptr<char[]> m_pBytes;
};

class CLineSocket : public CAsyncSocket {
    enum class ESendEnd : std::uint8_t { None, Shutdown, Close };

public:
    static constexpr int kBufferSize = 20480;
    static constexpr int kWordCount = 5;
    static constexpr size_t kHighWater = 1 << 20;
    static constexpr size_t kLowWater = kHighWater / 2;
    static constexpr int kDrainMs = 5000;

    CLineSocket();
    ~CLineSocket() override;

    std::int32_t m_bInReceive = 0;
    std::int32_t m_nState = 1;
    std::int32_t m_bCanSend = 1;
    CByteQueue m_strSendQueue;
    std::string m_strWords[kWordCount];
    std::int32_t m_nWord = 0;
    std::string m_strLine;
    std::string m_strPartial;

    // The other end of this socket's relay: what this socket receives goes to its queue. Null
    // outside a relay, and once the other end is gone.
    CLineSocket* m_pPeer = nullptr;

    void OnSend(int nErrorCode) override;
    void OnHangUp(int nErrorCode) override;
    // Moves bytes from pBuffer[nPosition..nCount) into the partial line up to and including
    // the first LF; TRUE with m_strLine and the words set when a line is complete.
    virtual BOOL ExtractLine(const char* pBuffer, int nCount, int& nPosition);
    virtual void ProcessLine();
    virtual void ResetStatus();

    void TokenizeLine();
    // Gives back the memory of the line, the partial line and the words (for a socket that
    // assembles no more lines).
    void ForgetLines();
    BOOL IsCommand(const std::string& strKeyword) const;
    void SendText(const std::string& strText);
    void SendRaw(const char* pBytes, int nCount);
    void Flush();
    void Disconnect();

    // State 0 from now on; closes once the queue has been sent (at once when there is nothing to
    // send or no handle), or when the drain bound passes, or when a send fails.
    void CloseAfterDrain();
    // Ends only the sending direction once the queue has been sent; reading goes on, and the
    // socket closes when the peer has closed too (or the drain bound passes).
    void ShutdownAfterDrain();
    bool IsDraining() const { return m_eSendEnd != ESendEnd::None && m_hSocket != INVALID_SOCKET; }
    // The peer has closed its sending direction: nothing more will be received.
    bool HasPeerClosed() const { return m_bPeerClosed; }
    // Nothing more goes out: sending ended, or the peer could no longer take data.
    bool IsSendingOver() const { return m_bSendOver; }
    bool IsReadingPaused() const { return m_bReadPaused; }

protected:
    // The relay pump, for either direction: one receive of at most kBufferSize - 1 bytes into a
    // borrowed buffer, handed on to m_pPeer (dropped when there is none or it can take no more).
    // Returns the count, 0 at the peer's close (handled here), SOCKET_ERROR on failure.
    int PumpBlock();
    int ReceiveBlock(CReceiveBuffer& buffer);
    // The peer's orderly close or reset has been received: reading is over.
    void PeerClosed();
    // Runs ProcessLine for each complete line of the block.
    void RunLineLoop(const char* pBlock, int nCount);
    bool IsOpen() const { return m_nState == 1 && m_hSocket != INVALID_SOCKET; }
    // False while the socket cannot carry data yet (a channel whose connect is pending).
    virtual bool CanSendYet() const { return true; }
    // False while this socket's state forbids reading (a client being screened or rejected).
    virtual bool MayRead() const { return true; }
    // Called whenever reading or sending ends or the socket closes, for the relay's owner.
    virtual void OnEndChanged() {}
    // The watched events from state, queue and pause: the one place that sets them.
    void SyncEvents();
    // CloseAfterDrain has been asked for: the socket is closing for good.
    bool IsClosing() const { return m_eSendEnd == ESendEnd::Close; }

private:
    bool SendOneBlock();
    void EndSendingAfterDrain(ESendEnd eEnd);
    void FinishSending();
    void DropQueue();
    void CloseWhenDone();
    void EndChanged();
    void ArmBound();
    void NoteProgress();
    void UpdatePause();

    ESendEnd m_eSendEnd = ESendEnd::None;
    bool m_bSendOver = false;
    bool m_bPeerClosed = false;
    bool m_bReadPaused = false;
    CLoopDeadline m_bound;
};
