#include "gateway/LineSocket.h"

#include <algorithm>
#include <vector>

#include "gateway/LineAssembly.h"
#include "platform/MessageBox.h"

namespace {
// The framework's own boxes carry the program's name.
constexpr const char* kProgramName = "tarnwk";

bool IsWouldBlock(int nCode) { return nCode == EWOULDBLOCK || nCode == EAGAIN; }
// The peer can take nothing more: what waits for it is lost anyway.
bool IsPeerGone(int nCode) { return nCode == ECONNRESET || nCode == EPIPE; }
}  // namespace

namespace {
// The calling thread's buffers not lent out at the moment; as many as handlers ever nested.
thread_local std::vector<std::unique_ptr<char[]>> t_freeBuffers;
}  // namespace

CReceiveBuffer::CReceiveBuffer() {
    if (t_freeBuffers.empty()) {
        m_pBytes.reset(new char[CLineSocket::kBufferSize]);
        return;
    }
    m_pBytes = std::move(t_freeBuffers.back());
    t_freeBuffers.pop_back();
}

CReceiveBuffer::~CReceiveBuffer() { t_freeBuffers.push_back(std::move(m_pBytes)); }

// Every receive handler here ends its side of the connection on a zero-byte receive.
CLineSocket::CLineSocket() { TakeCloseByReceive(); }

CLineSocket::~CLineSocket() = default;

BOOL CLineSocket::ExtractLine(const char* pBuffer, int nCount, int& nPosition) {
    if (!IsOpen()) return FALSE;
    if (!AssembleLine(m_strPartial, m_strLine, pBuffer, nCount, nPosition, kBufferSize))
        return FALSE;
    TokenizeLine();
    return TRUE;
}

void CLineSocket::ProcessLine() {
    AfxMessageBox("ProcessLine Function not Defined", kProgramName, MB_OK, MB_ICONEXCLAMATION);
}

void CLineSocket::ResetStatus() {
    AfxMessageBox("ResetStatus Function not Defined", kProgramName, MB_OK, MB_ICONEXCLAMATION);
}

void CLineSocket::TokenizeLine() { m_nWord = SplitWords(m_strLine, m_strWords, kWordCount); }

void CLineSocket::ForgetLines() {
    std::string().swap(m_strLine);
    std::string().swap(m_strPartial);
    for (std::string& strWord : m_strWords) std::string().swap(strWord);
}

BOOL CLineSocket::IsCommand(const std::string& strKeyword) const {
    return IsCommandWord(m_strWords[0], strKeyword);
}

void CLineSocket::SendText(const std::string& strText) {
    if (!IsOpen()) {
        m_nState = 0;
        return;
    }
    if (m_bSendOver) return;
    m_strSendQueue.Append(strText);
    Flush();
}

// Bytes for a socket that can send no more are dropped: nobody would ever take them.
void CLineSocket::SendRaw(const char* pBytes, int nCount) {
    if (m_hSocket == INVALID_SOCKET || m_bSendOver) return;
    m_strSendQueue.Append(pBytes, static_cast<size_t>(std::max(nCount, 0)));
    if (m_pPeer != nullptr) m_pPeer->UpdatePause();
    Flush();
}

void CLineSocket::Flush() {
    const bool bMaySend = m_nState == 1 || (m_eSendEnd != ESendEnd::None && CanSendYet());
    if (!bMaySend || m_bSendOver || m_hSocket == INVALID_SOCKET) return;
    if (!m_strSendQueue.IsEmpty() && m_bCanSend == 1 && !SendOneBlock()) return;
    if (m_hSocket == INVALID_SOCKET) return;
    if (m_strSendQueue.IsEmpty()) {
        m_bCanSend = 1;
        if (m_eSendEnd != ESendEnd::None) return FinishSending();
    }
    SyncEvents();
}

// One send of at most kBufferSize bytes. A socket that took the whole queue may take the next
// block at once; one that left some waits for its write notification. False when the pump
// stops: the peer has gone (the queue is dropped), or another error (the queue stays, as it
// does after a would-block; a socket that is ending gives up then).
bool CLineSocket::SendOneBlock() {
    const int nWant = static_cast<int>(std::min<size_t>(m_strSendQueue.Size(), kBufferSize));
    const int nSent = Send(m_strSendQueue.Front(), nWant, 0);
    if (nSent > 0) {
        m_strSendQueue.Consume(static_cast<size_t>(nSent));
        m_bCanSend = m_strSendQueue.IsEmpty() ? 1 : 0;
        NoteProgress();
        if (m_pPeer != nullptr) m_pPeer->UpdatePause();
        return true;
    }
    if (nSent == 0) return true;
    const int nCode = WSAGetLastError();
    if (IsWouldBlock(nCode)) return true;
    if (IsPeerGone(nCode)) {
        DropQueue();
    } else if (m_eSendEnd != ESendEnd::None) {
        Disconnect();
    }
    return false;
}

void CLineSocket::OnSend(int nErrorCode) {
    m_bCanSend = 1;
    Flush();
    CAsyncSocket::OnSend(nErrorCode);
}

// The peer closed or reset while reading was paused: the data before its close still waits to
// be read, so nothing ends yet; but both ends are now bounded, so that the relay cannot stick.
void CLineSocket::OnHangUp(int) {
    ArmBound();
    if (m_pPeer != nullptr) m_pPeer->ArmBound();
}

void CLineSocket::Disconnect() {
    m_nState = 0;
    m_bound.Cancel();
    const bool bWasOpen = m_hSocket != INVALID_SOCKET;
    CAsyncSocket::Close();
    m_bPeerClosed = true;
    m_bSendOver = true;
    if (bWasOpen) OnEndChanged();
}

void CLineSocket::CloseAfterDrain() {
    m_nState = 0;
    if (m_hSocket == INVALID_SOCKET || m_strSendQueue.IsEmpty() || m_bSendOver) return Disconnect();
    EndSendingAfterDrain(ESendEnd::Close);
}

void CLineSocket::ShutdownAfterDrain() { EndSendingAfterDrain(ESendEnd::Shutdown); }

void CLineSocket::EndSendingAfterDrain(ESendEnd eEnd) {
    if (m_eSendEnd == eEnd || m_eSendEnd == ESendEnd::Close) return;
    m_eSendEnd = eEnd;
    if (m_hSocket == INVALID_SOCKET) return;
    if (m_bSendOver) return CloseWhenDone();
    ArmBound();
    Flush();
}

// A socket whose peer has closed too is done: its close sends the end after the data.
void CLineSocket::FinishSending() {
    if (m_eSendEnd == ESendEnd::Close || m_bPeerClosed) return Disconnect();
    ShutDown(SHUT_WR);
    m_bSendOver = true;
    EndChanged();
}

void CLineSocket::DropQueue() {
    m_strSendQueue.Clear();
    m_bSendOver = true;
    m_bCanSend = 1;
    if (m_pPeer != nullptr) m_pPeer->UpdatePause();
    EndChanged();
}

void CLineSocket::PeerClosed() {
    if (m_bPeerClosed) return;
    m_bPeerClosed = true;
    ArmBound();
    EndChanged();
}

// The owner hears of it first, and the socket closes when both directions are over; only a
// socket still open after that changes what it watches.
void CLineSocket::EndChanged() {
    OnEndChanged();
    CloseWhenDone();
    SyncEvents();
}

// Both directions over: nothing more can come in or go out.
void CLineSocket::CloseWhenDone() {
    if (m_hSocket != INVALID_SOCKET && m_bPeerClosed && m_bSendOver) Disconnect();
}

void CLineSocket::ArmBound() {
    if (m_bound.IsArmed() || m_hSocket == INVALID_SOCKET) return;
    m_bound.Arm(kDrainMs, [this] { Disconnect(); });
}

// A byte delivered by either end of the relay moves both ends' bounds.
void CLineSocket::NoteProgress() {
    m_bound.Rearm();
    if (m_pPeer != nullptr) m_pPeer->m_bound.Rearm();
}

// Reading stops while the other end's queue is over kHighWater and goes on below kLowWater.
void CLineSocket::UpdatePause() {
    const size_t nQueued = m_pPeer != nullptr ? m_pPeer->m_strSendQueue.Size() : 0;
    const bool bPause = m_bReadPaused ? nQueued >= kLowWater : nQueued > kHighWater;
    if (bPause == m_bReadPaused) return;
    m_bReadPaused = bPause;
    SyncEvents();
}

void CLineSocket::SyncEvents() {
    // A pending connect keeps its mask until its outcome has been told.
    if (m_hSocket == INVALID_SOCKET || !CanSendYet()) return;
    long lEvent = FD_CLOSE;
    if (m_nState == 1 && !m_bReadPaused && !m_bPeerClosed && MayRead()) lEvent |= FD_READ;
    if (!m_strSendQueue.IsEmpty() && !m_bSendOver) lEvent |= FD_WRITE;
    AsyncSelect(lEvent);
}

int CLineSocket::ReceiveBlock(CReceiveBuffer& buffer) {
    return Receive(buffer.data(), kBufferSize - 1);
}

int CLineSocket::PumpBlock() {
    CReceiveBuffer buffer;
    const int nCount = ReceiveBlock(buffer);
    if (nCount > 0 && m_pPeer != nullptr) m_pPeer->SendRaw(buffer.data(), nCount);
    if (nCount == 0) PeerClosed();
    return nCount;
}

void CLineSocket::RunLineLoop(const char* pBlock, int nCount) {
    int nPosition = 0;
    while (ExtractLine(pBlock, nCount, nPosition)) {
        if (!IsOpen()) break;
        ProcessLine();
    }
}
