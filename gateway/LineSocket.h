// CLineSocket: the base of every connection socket (client, channel, configuration test).
//
// Adds to CAsyncSocket a fixed 20480-byte receive buffer (each receive takes at most 20479
// bytes), the assembly of received bytes into LF-terminated lines split into at most five
// words, a send queue pumped by write notifications (one send of at most 20480 bytes each),
// and an open/closed state that every operation respects.
//
// Owned by whoever made it (the live-connection list, a client for its channel, the
// configuration dialog); used only on the thread that created its socket. Handlers may pump
// that thread's loop, so a handler can be entered again while it runs. Send failures are not
// reported: the data stays queued, or is dropped when the socket is closed.
//
// Two limits keep a relay's memory bounded: while the send queue holds more than kHighWater
// bytes, the socket that feeds it (m_pFeeder) stops reading, and it reads again once the queue
// is below kLowWater; and a line without LF is cut after kBufferSize bytes. A socket closed
// with CloseAfterDrain first sends what it has queued, unless the peer takes nothing for
// kDrainMs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gateway/ByteQueue.h"
#include "platform/AsyncSocket.h"
#include "platform/LoopTimer.h"

class CLineSocket : public CAsyncSocket {
public:
    static constexpr int kBufferSize = 20480;
    static constexpr int kWordCount = 5;
    static constexpr size_t kHighWater = 1 << 20;
    static constexpr size_t kLowWater = kHighWater / 2;
    static constexpr int kDrainMs = 5000;

    CLineSocket();
    ~CLineSocket() override;

    CLineSocket* m_pNext = nullptr;
    std::vector<char> m_rxBuffer;
    std::int32_t m_bChannelBusy = 0;
    std::int32_t m_bInReceive = 0;
    std::int32_t m_nState = 1;
    std::int32_t m_bCanSend = 1;
    CByteQueue m_strSendQueue;
    std::string m_strWords[kWordCount];
    std::int32_t m_nWord = 0;
    std::string m_strLine;
    std::string m_strPartial;

    void OnSend(int nErrorCode) override;
    // Moves bytes from pBuffer[nPosition..nCount) into the partial line up to and including
    // the first LF; TRUE with m_strLine and the words set when a line is complete.
    virtual BOOL ExtractLine(const char* pBuffer, int nCount, int& nPosition);
    virtual void ProcessLine();
    virtual void ResetStatus();

    void TokenizeLine();
    BOOL IsCommand(const std::string& strKeyword) const;
    void SendText(const std::string& strText);
    void SendRaw(const char* pBytes, int nCount);
    void Flush();
    void Disconnect();

    // Closes the socket once its queue has been sent (at once when there is nothing to send,
    // or no handle), or when kDrainMs pass without a byte sent, or when a send fails. The state is
    // 0 from now on.
    void CloseAfterDrain();
    bool IsDraining() const { return m_bDraining; }

    // The socket whose received data fills this socket's queue (the other end of a relay).
    CLineSocket* m_pFeeder = nullptr;
    void PauseReading();
    void ResumeReading();
    bool IsReadingPaused() const { return m_bReadPaused; }
    // AsyncSelect, leaving FD_READ out while reading is paused.
    void SelectEvents(long lEvent);

protected:
    // Runs ProcessLine for each complete line of the first nCount bytes of m_rxBuffer.
    void RunLineLoop(int nCount);
    bool IsOpen() const { return m_nState == 1 && m_hSocket != INVALID_SOCKET; }
    // False while the socket cannot carry data yet (a channel whose connect is pending).
    virtual bool CanSendYet() const { return true; }
    void FinishDrain();
    bool SendOneBlock();

private:
    bool m_bDraining = false;
    bool m_bReadPaused = false;
    CLoopTimer m_drainTimer;
};
