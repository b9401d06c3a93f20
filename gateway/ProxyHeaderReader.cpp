#include "gateway/ProxyHeaderReader.h"

#include <algorithm>
#include <cerrno>

#include "gateway/LineSocket.h"

namespace {
CProxyHeader InvalidHeader() {
    CProxyHeader header;
    header.eParse = EProxyParse::Invalid;
    return header;
}

const std::uint8_t* Bytes(const std::string& strText) {
    return reinterpret_cast<const std::uint8_t*>(strText.data());
}
}  // namespace

void CProxyHeaderReader::Start() {
    m_bound.Arm(kHeaderMs, [this] { Finish(InvalidHeader()); });
}

void CProxyHeaderReader::Read(CAsyncSocket& socket) {
    const CProxyHeader sofar = ParseProxyHeader(Bytes(m_strBytes), m_strBytes.size());
    const size_t nRoom =
        std::min<size_t>(sofar.nMaxLength - m_strBytes.size(), CLineSocket::kBufferSize - 1);
    CReceiveBuffer buffer;
    const int nCount = socket.Receive(buffer.data(), static_cast<int>(nRoom));
    if (nCount < 0 && (WSAGetLastError() == EWOULDBLOCK || WSAGetLastError() == EAGAIN)) return;
    if (nCount <= 0) return Finish(InvalidHeader());
    m_strBytes.append(buffer.data(), static_cast<size_t>(nCount));
    const CProxyHeader header = ParseProxyHeader(Bytes(m_strBytes), m_strBytes.size());
    if (header.eParse != EProxyParse::NeedMore) Finish(header);
}

void CProxyHeaderReader::Ended() { Finish(InvalidHeader()); }

void CProxyHeaderReader::Finish(const CProxyHeader& header) {
    m_bound.Cancel();
    if (!m_onDone) return;
    std::string strRest;
    if (header.eParse == EProxyParse::Complete) strRest = m_strBytes.substr(header.nLength);
    Done onDone = std::move(m_onDone);
    m_onDone = nullptr;
    onDone(header, std::move(strRest));
}
