// CClientSocket: one accepted client connection of the gateway, and the relay to its channel.
//
// Owned by the listener thread's CConnectionList; it owns its channel. Lives on the listener
// thread only. Its state says what it is: being screened, rejected (the 550 line goes out, then
// the close; nothing is read), relaying (the first block decides: a first word "MONITOR" makes
// it a monitor, which gets the status lines and may end itself with QUIT; anything else is an
// SMTP client whose blocks go raw to the channel), or closing.
//
// The relay ends in one place (RelayChanged): the close of either peer is passed on to the
// other side as a half-close after its queue has been sent, and each side goes on reading and
// relaying until its own peer has closed too; a side whose peer can take no more discards. A
// monitor is not closed with its channel. Once both sockets are closed the connection retires
// to its list, which frees it at the end of the loop pass.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>

#include "gateway/ChannelSocket.h"
#include "gateway/ConnectionList.h"
#include "gateway/LineSocket.h"

class CGatewayCore;

enum class EConnectionState : std::uint8_t { Screening, Rejected, Relaying, Monitor, Closing };

class CClientSocket : public CLineSocket {
public:
    CClientSocket(CGatewayCore& core, std::uint64_t nSequence);
    ~CClientSocket() override;

    sockaddr_in m_addrPeer{};
    std::int32_t m_nAddrLen = sizeof(sockaddr_in);
    EConnectionState m_eState = EConnectionState::Screening;
    bool m_bIdentified = false;  // the first block has decided the kind
    std::unique_ptr<CChannelSocket> m_pChannel;
    const std::uint64_t m_nSequence;  // accept order: a larger number is a newer connection

    // The screening's outcomes: the 550 line and the close, or the relay (a channel to the
    // mail server at pAddress, null when its name did not resolve; none when nPort is 0).
    void Reject(const std::string& strLine);
    void StartRelay(const in_addr* pAddress, int nPort);

    // "", "SMTP" or "Monitor".
    const char* KindText() const;
    bool IsMonitor() const { return m_eState == EConnectionState::Monitor; }
    CConnectionSnapshot Snapshot() const;

    // Called by either socket whenever one of its directions ends or it closes.
    void RelayChanged();

    void Close() override;
    void OnReceive(int nErrorCode) override;
    void OnAccept(int) override {}
    void OnConnect(int) override {}
    void OnClose(int nErrorCode) override;
    void ProcessLine() override;

protected:
    bool MayRead() const override;
    void OnEndChanged() override { RelayChanged(); }

private:
    friend class CConnectionList;
    void Identify(int nCount);
    void BecomeMonitor();
    void PassOn(CLineSocket& closed, CLineSocket* pOther);
    void RetireWhenClosed();

    CGatewayCore& m_core;
    CConnectionList* m_pOwner = nullptr;
    CConnectionList::CList::iterator m_itSelf;
    bool m_bRetired = false;
};
