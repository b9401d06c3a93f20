#include "gateway/GreetWait.h"

#include <cerrno>

#include "gateway/LineAssembly.h"
#include "gateway/LineSocket.h"

bool CGreetWait::Start(int nWaitMs) {
    return m_deadline.Arm(nWaitMs, [this] { Finish(EGreetOutcome::Waited, std::string()); });
}

void CGreetWait::Read(CAsyncSocket& socket) {
    CReceiveBuffer buffer;
    const int nCount = socket.Receive(buffer.data(), CLineSocket::kBufferSize - 1);
    if (nCount < 0 && (WSAGetLastError() == EWOULDBLOCK || WSAGetLastError() == EAGAIN)) return;
    if (nCount <= 0) return Finish(EGreetOutcome::Left, std::string());
    Finish(EGreetOutcome::Spoke, std::string(buffer.data(), static_cast<size_t>(nCount)));
}

void CGreetWait::Finish(EGreetOutcome eOutcome, std::string strBlock) {
    m_deadline.Cancel();
    if (!m_onDone) return;
    Done onDone = std::move(m_onDone);
    m_onDone = nullptr;
    onDone(eOutcome, std::move(strBlock));
}

bool IsMonitorIdentification(const std::string& strBlock) {
    std::string strPartial, strLine, words[CLineSocket::kWordCount];
    int nPosition = 0;
    if (!AssembleLine(strPartial, strLine, strBlock.data(), static_cast<int>(strBlock.size()),
                      nPosition, CLineSocket::kBufferSize))
        return false;
    SplitWords(strLine, words, CLineSocket::kWordCount);
    return words[0] == "MONITOR";
}
