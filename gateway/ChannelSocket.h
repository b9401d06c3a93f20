// CChannelSocket: the gateway's connection to the mail server on behalf of one client, or,
// without a client, the configuration dialog's test connection.
//
// Owned by its client (or by the dialog); m_pClient is a plain back pointer. Used only on the
// thread that created it: the listener thread for relays, the UI thread for the test. It counts
// as closed (m_nState 0) until its connect succeeds, so SendRaw data waits in the queue and
// SendText is dropped meanwhile. A failed connect is reported through ReportError ("Could not
// connect to Mail Server"), sets the mail-server status to 0, and closes the SMTP client after
// giving it up to 10 x 50 ms to send its first block (a monitor connection stays). In a relay it
// moves the mail server's blocks to the client with the pump both ends share; without a client
// it shows each line the server sends in the main window's log pane behind "->".
#pragma once

#include "gateway/LineSocket.h"

class CClientSocket;
class CGatewayCore;

class CChannelSocket : public CLineSocket {
public:
    // The configuration test's socket, reporting through the application object.
    CChannelSocket();
    explicit CChannelSocket(CGatewayCore& core);
    ~CChannelSocket() override = default;

    std::int32_t m_nConnectState = 0;  // 0 pending, 1 connected, 2 failed
    CClientSocket* m_pClient = nullptr;

    void OnConnect(int nErrorCode) override;
    void OnReceive(int nErrorCode) override;
    void OnClose(int nErrorCode) override;
    void ProcessLine() override;

    // The failure half of OnConnect: report, status 0, and the SMTP client closed, after up to
    // 10 x 50 ms for its first block when bWaitForFirstBlock. Without the wait it serves a
    // channel that could not even get a socket, inside the accept notification, where that
    // wait's pump would run further accepts nested in this one.
    void ConnectFailed(int nErrorCode, bool bWaitForFirstBlock);

protected:
    bool CanSendYet() const override { return m_nConnectState == 1; }
    void OnEndChanged() override;

private:
    void WaitForFirstBlock();

    CGatewayCore& m_core;
};
