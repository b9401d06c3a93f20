// CClientSocket: one accepted client connection of the gateway, and the relay to its channel.
//
// Owned by the listener thread's CConnectionList; it owns its channel. Lives on the listener
// thread only. Its state says what it is: reading the PROXY protocol header a trusted load
// balancer sends first (CProxyHeaderReader), being screened (nothing is read: what the client
// sends waits in the kernel), rejected (the 550 line goes out, then the close; nothing is read),
// relaying (the first block decides: a first word "MONITOR" makes it a monitor, which gets the
// status lines and may end itself with QUIT, unless CMonitorStatus::kMaxMonitors are connected
// already, which closes it; anything else is an SMTP client whose blocks go raw to the
// channel), or closing. The bytes that came after a PROXY header are held until the
// verdict and then taken as the first block.
//
// The client's address is the peer's (an IPv4 one in IPv6's mapped form read as IPv4), or the
// source a trusted balancer's PROXY header names; screening, the log and the address lists use
// it. With ProxyTo, the relay's channel carries a PROXY header naming it (and the address the
// client connected to) before anything else.
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
#include "gateway/ClientLimiter.h"
#include "gateway/ConnectionList.h"
#include "gateway/DnsblLookup.h"
#include "gateway/GreetWait.h"
#include "gateway/LineSocket.h"
#include "gateway/ProxyHeaderReader.h"
#include "platform/DescriptorReserve.h"

struct CGatewayContext;
struct CGatewayConfig;

enum class EConnectionState : std::uint8_t {
    ReadingHeader,
    Screening,
    Rejected,
    Relaying,
    Monitor,
    Closing
};

class CClientSocket : public CLineSocket {
public:
    static constexpr size_t kMonitorQueueLimit = 64 * 1024;
    // How long the mail server's answer to a new monitor's quit line is held back, on its
    // channel alone.
    static constexpr int kIdentifyWaitMs = 10;

    // Takes the configuration in force, which serves this client to its close.
    CClientSocket(CGatewayContext& context, std::uint64_t nSequence);
    ~CClientSocket() override;

    sockaddr_storage m_addrPeer{};  // as the accept fills it: IPv4 or IPv6
    std::int32_t m_nAddrLen = sizeof(sockaddr_storage);
    // The client: the peer, or the source its PROXY header names; and, once known, the address
    // and port it connected to.
    CNetAddress m_address;
    std::uint16_t m_nPort = 0;
    CNetAddress m_destination;
    std::uint16_t m_nDestinationPort = 0;
    bool m_bDestinationKnown = false;
    EConnectionState m_eState = EConnectionState::Screening;
    bool m_bIdentified = false;  // the first block has decided the kind
    std::unique_ptr<CChannelSocket> m_pChannel;
    const std::uint64_t m_nSequence;  // accept order: a larger number is a newer connection
    // The configuration in force at the accept: this client's from its accept to its close.
    const std::shared_ptr<const CGatewayConfig> m_pConfig;
    // Descriptors set aside before the accept: the channel's socket, when a relay may follow.
    CDescriptorReserve m_reserve;
    // A screening in progress on the listener's resolver (concurrent screening only).
    std::unique_ptr<CDnsblLookup::CPending> m_pScreening;
    // The talk-first wait while it runs (GreetWait): the connection is read, by the wait alone.
    std::unique_ptr<CGreetWait> m_pGreetWait;
    // This connection's place in its client's count (ClientConnectionLimit and -Rate).
    CClientLimiter::CSlot m_limitSlot;

    // Takes the accepted peer's address as the client's.
    void TakePeerAddress();

    // Reads the PROXY header first; onDone gets its outcome (the connection is then screening).
    void ReadProxyHeader(CProxyHeaderReader::Done onDone);
    // Takes the header's source as the client's address and holds the bytes after the header;
    // the connection is no longer watched until its verdict.
    void TakeProxySource(const CProxyHeader& header, std::string strRest);
    // Closes at once, without a reply (a connection whose PROXY header failed).
    void Drop();

    // The screening's outcomes: the 550 line and the close, or the relay (a channel to the
    // mail server at pAddress, null when its name did not resolve; none when nPort is 0; a PROXY
    // header of version nProxyVersion first on it when that is 1 or 2).
    void Reject(const std::string& strLine);
    void StartRelay(const sockaddr_storage* pAddress, int nPort, int nProxyVersion = 0);
    // The bytes held after a PROXY header, handled now as the first block of a relay.
    void DeliverHeldBlock();
    // The talk-first wait: the connection is read by the wait until its outcome, which goes to
    // onDone; false when no wait could be started. EndGreetWait, called with the outcome, holds
    // the block the client sent (if any) for DeliverHeldBlock and stops reading until the verdict.
    bool StartGreetWait(int nWaitMs, CGreetWait::Done onDone);
    void EndGreetWait(std::string strBlock);
    // What the client sent before its verdict: the bytes after a PROXY header, a wait's block.
    const std::string& HeldBlock() const { return m_strHeldBlock; }

    // The client's address as the log and the snapshot show it.
    std::string AddressText() const;
    // "", "SMTP" or "Monitor".
    const char* KindText() const;
    bool IsMonitor() const { return m_eState == EConnectionState::Monitor; }
    // Queues a monitor's status lines, or closes the monitor when it has fallen too far behind.
    void SendStatus(const std::string& strLines);
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
    void HandleFirstBlock(const char* pBlock, int nCount);
    void Identify(const char* pBlock, int nCount);
    bool MayBecomeMonitor() const;
    void BecomeMonitor();
    void RefuseMonitor();
    // Ends the connection with its channel, each side once its queue has gone out.
    void CloseWithChannel();
    void PassOn(CLineSocket& closed, CLineSocket* pOther);
    std::string ProxyHeaderForChannel(int nVersion);
    void RetireWhenClosed();

    CGatewayContext& m_context;
    CConnectionList* m_pOwner = nullptr;
    CConnectionList::CList::iterator m_itSelf;
    bool m_bRetired = false;
    std::unique_ptr<CProxyHeaderReader> m_pHeaderReader;
    std::string m_strHeldBlock;
};
