#include "gateway/LineSocket.h"

#include <strings.h>

#include <algorithm>

#include "platform/MessageBox.h"

namespace {
constexpr const char* kWhiteSpace = " \t\n\v\f\r";
// The framework's own boxes carry the program's name.
constexpr const char* kProgramName = "tarnwk";
constexpr long kReadClose = FD_READ | FD_CLOSE;
constexpr long kReadWriteClose = FD_READ | FD_WRITE | FD_CLOSE;

void TrimBoth(std::string& strText) {
    const size_t nLast = strText.find_last_not_of(kWhiteSpace);
    strText.erase(nLast == std::string::npos ? 0 : nLast + 1);
    strText.erase(0, strText.find_first_not_of(kWhiteSpace));
}

bool IsWouldBlockOrReset(int nCode) {
    return nCode == EWOULDBLOCK || nCode == EAGAIN || nCode == ECONNRESET;
}
}  // namespace

CLineSocket::CLineSocket() : m_rxBuffer(kBufferSize) {}

CLineSocket::~CLineSocket() = default;

BOOL CLineSocket::ExtractLine(const char* pBuffer, int nCount, int& nPosition) {
    if (!IsOpen()) return FALSE;
    bool bComplete = false;
    while (nPosition < nCount && !bComplete) {
        const char cByte = pBuffer[nPosition++];
        m_strPartial.push_back(cByte);
        // A line that never ends is cut at the buffer size instead of growing without bound.
        bComplete = cByte == '\n' || m_strPartial.size() >= static_cast<size_t>(kBufferSize);
    }
    if (!bComplete) return FALSE;
    if (!IsOpen()) return FALSE;
    m_strLine.swap(m_strPartial);
    m_strPartial.clear();
    TokenizeLine();
    return TRUE;
}

void CLineSocket::ProcessLine() {
    AfxMessageBox("ProcessLine Function not Defined", kProgramName, MB_OK, MB_ICONEXCLAMATION);
}

void CLineSocket::ResetStatus() {
    AfxMessageBox("ResetStatus Function not Defined", kProgramName, MB_OK, MB_ICONEXCLAMATION);
}

void CLineSocket::TokenizeLine() {
    m_nWord = 0;
    std::string strRest = m_strLine.substr(0, m_strLine.find_first_of("\r\n"));
    TrimBoth(strRest);
    for (std::string& strWord : m_strWords) strWord.clear();
    while (!strRest.empty() && m_nWord < kWordCount) {
        const size_t nLength = std::min(strRest.find(' '), strRest.size());
        m_strWords[m_nWord++] = strRest.substr(0, nLength);
        strRest.erase(0, nLength);
        TrimBoth(strRest);
    }
}

BOOL CLineSocket::IsCommand(const std::string& strKeyword) const {
    return strcasecmp(m_strWords[0].c_str(), strKeyword.c_str()) == 0;
}

void CLineSocket::SendText(const std::string& strText) {
    if (!IsOpen()) {
        m_nState = 0;
        return;
    }
    m_strSendQueue.Append(strText);
    Flush();
}

void CLineSocket::SendRaw(const char* pBytes, int nCount) {
    if (m_hSocket == INVALID_SOCKET) return;  // closed for good: nobody could ever send it
    m_strSendQueue.Append(pBytes, static_cast<size_t>(std::max(nCount, 0)));
    if (m_pFeeder != nullptr && m_strSendQueue.Size() > kHighWater) m_pFeeder->PauseReading();
    Flush();
}

void CLineSocket::Flush() {
    const bool bMaySend = m_nState == 1 || (m_bDraining && CanSendYet());
    if (!bMaySend || m_hSocket == INVALID_SOCKET) return;
    if (m_strSendQueue.IsEmpty()) {
        m_bCanSend = 1;
        SelectEvents(kReadClose);
        if (m_bDraining) FinishDrain();
        return;
    }
    if (m_bCanSend == 1 && !SendOneBlock()) return;
    if (m_hSocket != INVALID_SOCKET) SelectEvents(kReadWriteClose);
}

// False when the pump stops: a send error other than would-block or reset leaves everything
// as it is. A draining socket closes then, and on a reset too, since nobody is left to read.
bool CLineSocket::SendOneBlock() {
    const int nWant = static_cast<int>(std::min<size_t>(m_strSendQueue.Size(), kBufferSize));
    const int nSent = Send(m_strSendQueue.Front(), nWant, 0);
    if (nSent >= 0) {
        if (nSent == 0) return true;
        m_strSendQueue.Consume(static_cast<size_t>(nSent));
        m_bCanSend = 0;
        // A peer that is still reading gets the rest: the bound is on a drain that stalls.
        if (m_bDraining) m_drainTimer.Start(kDrainMs, [this] { FinishDrain(); });
        if (m_pFeeder != nullptr && m_strSendQueue.Size() < kLowWater) m_pFeeder->ResumeReading();
        return true;
    }
    const int nCode = WSAGetLastError();
    const bool bStops = !IsWouldBlockOrReset(nCode) || (m_bDraining && nCode == ECONNRESET);
    if (bStops && m_bDraining) FinishDrain();
    return !bStops;
}

void CLineSocket::OnSend(int nErrorCode) {
    m_bCanSend = 1;
    Flush();
    CAsyncSocket::OnSend(nErrorCode);
}

void CLineSocket::Disconnect() {
    m_nState = 0;
    CAsyncSocket::Close();
}

void CLineSocket::CloseAfterDrain() {
    m_nState = 0;
    if (m_bDraining) return;
    if (m_hSocket == INVALID_SOCKET || m_strSendQueue.IsEmpty()) return Disconnect();
    m_bDraining = true;
    if (!m_drainTimer.Start(kDrainMs, [this] { FinishDrain(); })) return FinishDrain();
    Flush();
}

void CLineSocket::FinishDrain() {
    m_bDraining = false;
    m_drainTimer.Stop();
    Disconnect();
}

void CLineSocket::PauseReading() {
    if (m_bReadPaused) return;
    m_bReadPaused = true;
    if (m_hSocket != INVALID_SOCKET) AsyncSelect(EventMask() & ~FD_READ);
}

void CLineSocket::ResumeReading() {
    if (!m_bReadPaused) return;
    m_bReadPaused = false;
    if (m_hSocket != INVALID_SOCKET) AsyncSelect(EventMask() | FD_READ);
}

void CLineSocket::SelectEvents(long lEvent) {
    AsyncSelect(m_bReadPaused ? (lEvent & ~FD_READ) : lEvent);
}

void CLineSocket::RunLineLoop(int nCount) {
    int nPosition = 0;
    while (ExtractLine(m_rxBuffer.data(), nCount, nPosition)) {
        if (!IsOpen()) break;
        ProcessLine();
    }
}
