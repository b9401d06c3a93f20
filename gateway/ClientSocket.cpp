#include "gateway/ClientSocket.h"

#include "gateway/GatewayContext.h"

namespace {
constexpr long kChannelEvents = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
constexpr const char* kMonitorWord = "MONITOR";
constexpr const char* kChannelQuit = "QUIT\r\n\r\n";
}  // namespace

CClientSocket::CClientSocket(CGatewayContext& context, std::uint64_t nSequence)
    : m_nSequence(nSequence), m_pConfig(context.config.Current()), m_context(context) {}

// Nothing here reaches the list or the relay's end handling again: the channel goes first, told
// that its client is leaving.
CClientSocket::~CClientSocket() {
    m_bRetired = true;
    m_context.monitors.Remove(*this);
    if (m_pChannel != nullptr) {
        m_pChannel->m_pClient = nullptr;
        m_pChannel->m_pPeer = nullptr;
        m_pChannel->Disconnect();
    }
}

void CClientSocket::Reject(const std::string& strLine) {
    m_eState = EConnectionState::Rejected;
    SendText(strLine);
    CloseAfterDrain();
}

void CClientSocket::ReadProxyHeader(CProxyHeaderReader::Done onDone) {
    m_eState = EConnectionState::ReadingHeader;
    m_pHeaderReader = std::make_unique<CProxyHeaderReader>(std::move(onDone));
    m_pHeaderReader->Start();
    SyncEvents();
}

void CClientSocket::TakePeerAddress() {
    m_address = CNetAddress::FromSocketAddress(m_addrPeer, m_nPort);
}

// Called with the reader's outcome, from inside the reader, which touches nothing after it.
void CClientSocket::TakeProxySource(const CProxyHeader& header, std::string strRest) {
    m_pHeaderReader.reset();
    m_eState = EConnectionState::Screening;
    AsyncSelect(0);
    m_strHeldBlock = std::move(strRest);
    if (header.eSource == EProxySource::Connection) return;
    m_address = header.source;
    m_nPort = header.nPort;
    m_destination = header.destination;
    m_nDestinationPort = header.nDestinationPort;
    m_bDestinationKnown = true;
}

void CClientSocket::Drop() {
    m_pHeaderReader.reset();
    m_eState = EConnectionState::Closing;
    CloseAfterDrain();
}

// The reserved socket is IPv4; ConnectTo makes it again in its place for an IPv6 mail server.
void CClientSocket::StartRelay(const sockaddr_storage* pAddress, int nPort, int nProxyVersion) {
    m_eState = EConnectionState::Relaying;
    SyncEvents();
    if (nPort == 0) return;
    m_pChannel = std::make_unique<CChannelSocket>(m_context.log, m_context.monitors);
    const int fdReserved = m_reserve.TakeChannelSocket();
    bool bCreated = fdReserved >= 0 ? m_pChannel->Adopt(fdReserved, kChannelEvents)
                                    : m_pChannel->Create(0, SOCK_STREAM, kChannelEvents);
    int nCreateError = WSAGetLastError();
    m_pChannel->m_pClient = this;
    m_pChannel->m_pPeer = this;
    m_pPeer = m_pChannel.get();
    // Queued first, the header leaves before any byte of the client's.
    if (nProxyVersion == 1 || nProxyVersion == 2) {
        const std::string strHeader = ProxyHeaderForChannel(nProxyVersion);
        m_pChannel->SendRaw(strHeader.data(), static_cast<int>(strHeader.size()));
    }
    if (bCreated) {
        m_pChannel->ConnectTo(pAddress, static_cast<unsigned>(nPort));
        nCreateError = WSAGetLastError();
        bCreated = m_pChannel->m_hSocket != INVALID_SOCKET;
    }
    // Without a socket no outcome would ever arrive; the client must not wait for one.
    if (!bCreated) m_pChannel->ConnectFailed(nCreateError, false);
}

// The address the client connected to is the header's, or else this socket's own.
std::string CClientSocket::ProxyHeaderForChannel(int nVersion) {
    sockaddr_storage local{};
    if (!m_bDestinationKnown && GetSockName(local))
        m_destination = CNetAddress::FromSocketAddress(local, m_nDestinationPort);
    m_bDestinationKnown = true;
    return FormatProxyHeader(nVersion, m_address, m_nPort, m_destination, m_nDestinationPort);
}

bool CClientSocket::StartGreetWait(int nWaitMs, CGreetWait::Done onDone) {
    m_pGreetWait = std::make_unique<CGreetWait>(std::move(onDone));
    if (!m_pGreetWait->Start(nWaitMs)) m_pGreetWait.reset();
    SyncEvents();
    return m_pGreetWait != nullptr;
}

// Called with the wait's outcome, from inside the wait, which touches nothing after it.
void CClientSocket::EndGreetWait(std::string strBlock) {
    m_pGreetWait.reset();
    m_strHeldBlock += strBlock;
    SyncEvents();
}

void CClientSocket::DeliverHeldBlock() {
    if (m_strHeldBlock.empty()) return;
    std::string strBlock;
    strBlock.swap(m_strHeldBlock);
    if (m_eState == EConnectionState::Relaying && !m_bIdentified)
        HandleFirstBlock(strBlock.data(), static_cast<int>(strBlock.size()));
}

std::string CClientSocket::AddressText() const { return m_address.ToText(); }

const char* CClientSocket::KindText() const {
    if (m_eState == EConnectionState::Monitor) return "Monitor";
    return m_bIdentified && m_eState == EConnectionState::Relaying ? "SMTP" : "";
}

CConnectionSnapshot CClientSocket::Snapshot() const {
    const CChannelSocket* pChannel = m_pChannel.get();
    return CConnectionSnapshot{AddressText(), KindText(), m_strSendQueue.Size(),
                               pChannel ? pChannel->m_strSendQueue.Size() : 0,
                               pChannel ? pChannel->m_nConnectState : -1};
}

void CClientSocket::SendStatus(const std::string& strLines) {
    SendText(strLines);
    if (m_strSendQueue.Size() <= kMonitorQueueLimit || m_hSocket == INVALID_SOCKET) return;
    Disconnect();
    m_strSendQueue.Clear();
}

bool CClientSocket::MayRead() const {
    if (m_pGreetWait != nullptr) return true;
    return m_eState != EConnectionState::Screening && m_eState != EConnectionState::Rejected;
}

void CClientSocket::Close() { CloseAfterDrain(); }

void CClientSocket::OnReceive(int) {
    if (m_pGreetWait != nullptr) return m_pGreetWait->Read(*this);
    if (m_eState == EConnectionState::ReadingHeader) {
        if (m_pHeaderReader != nullptr) m_pHeaderReader->Read(*this);
        return;
    }
    if (!IsOpen() || !MayRead()) {
        if (m_eState == EConnectionState::Rejected) m_nState = 0;
        return;
    }
    if (m_bInReceive) return;
    m_bInReceive = 1;
    int nCount = SOCKET_ERROR;
    if (m_eState == EConnectionState::Relaying && !m_bIdentified) {
        CReceiveBuffer buffer;
        nCount = ReceiveBlock(buffer);
        if (nCount >= 0) HandleFirstBlock(buffer.data(), nCount);
        if (nCount == 0) PeerClosed();
    } else if (IsMonitor()) {
        CReceiveBuffer buffer;
        nCount = ReceiveBlock(buffer);
        if (nCount > 0) RunLineLoop(buffer.data(), nCount);
        if (nCount == 0) PeerClosed();
    } else {
        nCount = PumpBlock();
    }
    if (nCount == SOCKET_ERROR && WSAGetLastError() == ECONNABORTED && m_hSocket != INVALID_SOCKET)
        Close();
    m_bInReceive = 0;
    SyncEvents();
}

void CClientSocket::HandleFirstBlock(const char* pBlock, int nCount) {
    Identify(pBlock, nCount);
    if (nCount > 0 && IsMonitor()) RunLineLoop(pBlock, nCount);
    if (nCount > 0 && m_eState == EConnectionState::Relaying && m_pPeer != nullptr)
        m_pPeer->SendRaw(pBlock, nCount);
    if (m_pChannel != nullptr) m_pChannel->FirstBlockHandled();
}

// Only a whole first line in the first block can identify a monitor, and only from an address
// MonitorFrom allows. The line is read through the line assembly, which SMTP clients then never
// use again: its memory goes back.
void CClientSocket::Identify(const char* pBlock, int nCount) {
    m_bIdentified = true;
    int nPosition = 0;
    if (nCount > 0 && ExtractLine(pBlock, nCount, nPosition) && m_strWords[0] == kMonitorWord &&
        MayBecomeMonitor()) {
        m_strPartial.clear();
        return m_context.monitors.IsFull() ? RefuseMonitor() : BecomeMonitor();
    }
    ForgetLines();
}

// A source given by a PROXY header counts, not the balancer's address.
bool CClientSocket::MayBecomeMonitor() const {
    return m_pConfig->settings.IsMonitorFrom(m_address);
}

// The identification line is then processed again by the line loop, with the block's other
// lines; a MONITOR line is ignored there. The mail server's answer to the quit line follows the
// status lines, as it always has, after the identification's wait.
void CClientSocket::BecomeMonitor() {
    m_eState = EConnectionState::Monitor;
    if (m_pChannel != nullptr) {
        m_pChannel->SendText(kChannelQuit);
        m_pChannel->HoldReading(kIdentifyWaitMs);
    }
    m_context.counters.m_nConnections -= 1;
    m_context.monitors.Add(*this);
    m_context.monitors.Send();
}

// One monitor too many: the connection ends with its channel, nothing of it relayed; it stays
// counted in CON, as it never became a monitor.
void CClientSocket::RefuseMonitor() {
    ForgetLines();
    CloseWithChannel();
    if (m_context.monitors.TakeRefusalLogTurn())
        m_context.log.LogActivity("Connection from " + AddressText() + " Closed (" +
                                  std::to_string(CMonitorStatus::kMaxMonitors) +
                                  " Monitors Connected)");
}

void CClientSocket::ProcessLine() {
    if (!IsCommand("QUIT")) return;
    CloseWithChannel();
    m_context.log.RefreshMonitor();
}

void CClientSocket::CloseWithChannel() {
    m_eState = EConnectionState::Closing;
    m_nState = 0;
    Close();
    if (m_pChannel != nullptr) m_pChannel->CloseAfterDrain();
}

void CClientSocket::OnClose(int) {
    if (m_pGreetWait != nullptr) return m_pGreetWait->Ended();
    if (m_eState == EConnectionState::ReadingHeader) {
        if (m_pHeaderReader != nullptr) m_pHeaderReader->Ended();
        return;
    }
    PeerClosed();
    m_context.log.RefreshMonitor();
}

// A side whose peer has closed (or that has closed itself) passes that on to the other side.
void CClientSocket::RelayChanged() {
    if (m_bRetired) return;
    CChannelSocket* pChannel = m_pChannel.get();
    if (HasPeerClosed()) PassOn(*this, pChannel);
    if (pChannel != nullptr && pChannel->HasPeerClosed()) PassOn(*pChannel, this);
    RetireWhenClosed();
}

void CClientSocket::PassOn(CLineSocket& closed, CLineSocket* pOther) {
    const bool bClientSide = &closed == this;
    if (IsMonitor()) {
        // A monitor outlives its channel; a monitor that has gone takes its channel with it.
        if (bClientSide) {
            m_nState = 0;
            CloseAfterDrain();
            if (pOther != nullptr) pOther->CloseAfterDrain();
        } else {
            closed.ShutdownAfterDrain();
        }
        return;
    }
    if (m_eState == EConnectionState::Relaying) m_eState = EConnectionState::Closing;
    const bool bOtherGone = pOther == nullptr || pOther->m_hSocket == INVALID_SOCKET;
    if (!bOtherGone) pOther->ShutdownAfterDrain();
    // Nothing more can come for the closed side once the other side is gone: it ends too.
    if (bOtherGone) closed.ShutdownAfterDrain();
}

void CClientSocket::RetireWhenClosed() {
    if (m_bRetired || m_hSocket != INVALID_SOCKET) return;
    if (m_pChannel != nullptr && m_pChannel->m_hSocket != INVALID_SOCKET) return;
    m_bRetired = true;
    if (m_pOwner != nullptr) m_pOwner->Retire(*this);
}
