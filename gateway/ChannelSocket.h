// CChannelSocket: the gateway's connection to the mail server on behalf of one client, or,
// without a client, the configuration dialog's test connection.
//
// Owned by its client (or by the dialog); m_pClient is a plain back pointer. Used only on the
// thread that created it: the listener thread for relays, the UI thread for the test. It counts
// as closed (m_nState 0) until its connect succeeds, so SendRaw data waits in the queue and
// SendText is dropped meanwhile. A failed connect is reported through ReportError ("Could not
// connect to Mail Server"), sets the mail-server status to 0, and closes the SMTP client after
// giving it up to kFirstBlockWaitMs to send its first block (a monitor connection stays). In a
// relay it moves the mail server's blocks to the client with the pump both ends share; without
// a client it shows each line the server sends in the main window's log pane behind "->".
//
// Waits never sleep the thread: the wait for a first block, and the pause in reading after a
// failed receive or after a monitor's identification, are deadlines on the loop that hold up
// this relay alone.
#pragma once

#include "gateway/LineSocket.h"
#include "platform/LoopDeadline.h"

class CActivityLog;
class CClientSocket;
class IMailServerStatus;

class CChannelSocket : public CLineSocket {
public:
    static constexpr int kFirstBlockWaitMs = 10 * 50;
    static constexpr int kReceiveErrorHoldMs = 1;

    // Reports go to log; connect outcomes to status.
    CChannelSocket(CActivityLog& log, IMailServerStatus& status);
    ~CChannelSocket() override = default;

    std::int32_t m_nConnectState = 0;  // 0 pending, 1 connected, 2 failed
    CClientSocket* m_pClient = nullptr;

    void OnConnect(int nErrorCode) override;
    void OnReceive(int nErrorCode) override;
    void OnClose(int nErrorCode) override;
    void OnHangUp(int nErrorCode) override;
    void ProcessLine() override;

    // The failure half of OnConnect: report, status 0, and the SMTP client closed, once its
    // first block has been handled or kFirstBlockWaitMs have passed, when bWaitForFirstBlock;
    // at once otherwise (a channel that could not even get a socket).
    void ConnectFailed(int nErrorCode, bool bWaitForFirstBlock);
    // The client has handled its first block: a wait for it after a failed connect ends now.
    void FirstBlockHandled();
    // Nothing is read from the mail server for nMs; a close it sends meanwhile is taken up when
    // reading resumes.
    void HoldReading(int nMs);

protected:
    bool CanSendYet() const override { return m_nConnectState == 1; }
    bool MayRead() const override { return !m_readHold.IsArmed(); }
    void OnEndChanged() override;

private:
    bool AwaitsFirstBlock() const;
    void EndFailedRelay();
    void EndHold();

    CActivityLog& m_log;
    IMailServerStatus& m_status;
    CLoopDeadline m_firstBlockWait;
    CLoopDeadline m_readHold;
    bool m_bHangUpHeld = false;  // the peer closed while reading was held
};
