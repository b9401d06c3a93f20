// CClientSocket: one accepted client connection of the gateway, and its channel to the mail
// server.
//
// Owned by the application's live-connection list (m_pConnections, newest first); it owns its
// channel. Lives on the listener thread only. The first block the client sends decides its
// kind: a first word "MONITOR" makes a monitor connection (it gets the status lines and may end
// itself with QUIT); anything else makes an SMTP client whose blocks go raw to the channel.
// Closing one side closes the other; what is already queued for a side is sent first. The
// object is freed by the listener's idle sweep once it is closed and nothing is left to send.
#pragma once

#include <netinet/in.h>

#include <string>

#include "gateway/LineSocket.h"

class CChannelSocket;

class CClientSocket : public CLineSocket {
public:
    CClientSocket() = default;
    ~CClientSocket() override;

    sockaddr_in m_addrPeer{};
    std::int32_t m_nAddrLen = sizeof(sockaddr_in);
    std::string m_strKind;
    std::int32_t m_bRejected = 0;
    CChannelSocket* m_pChannel = nullptr;

    // Opens the channel to MailServer:PortOut (none when PortOut is 0).
    void ConnectChannel();

    void Close() override;
    void OnReceive(int nErrorCode) override;
    void OnAccept(int) override {}
    void OnConnect(int) override {}
    void OnClose(int nErrorCode) override;
    void ProcessLine() override;

    // True while this connection or its channel still has queued data to send before closing.
    bool IsFinishing() const;

private:
    void IdentifyConnection(int nCount);
    void BecomeMonitor();
    void ReleaseChannel();
};
