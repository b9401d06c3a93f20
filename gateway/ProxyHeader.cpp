#include "gateway/ProxyHeader.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {
constexpr char kV1Prefix[] = "PROXY ";
constexpr std::size_t kV1PrefixBytes = sizeof kV1Prefix - 1;
constexpr std::uint8_t kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                           0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr std::uint8_t kCommandLocal = 0x0, kCommandProxy = 0x1;
constexpr std::uint8_t kFamilyInet = 0x1, kFamilyInet6 = 0x2, kFamilyUnix = 0x3;
constexpr std::size_t kInetBlock = 12, kInet6Block = 36, kUnixBlock = 216;
constexpr std::size_t kTlvHeadBytes = 3;

// The first n bytes agree with the signature's (as far as both go).
bool StartsLike(const std::uint8_t* pData, std::size_t nSize, const void* pSignature,
                std::size_t nSignature) {
    return std::memcmp(pData, pSignature, std::min(nSize, nSignature)) == 0;
}

CProxyHeader Invalid() {
    CProxyHeader header;
    header.eParse = EProxyParse::Invalid;
    return header;
}

CProxyHeader NeedMore(std::size_t nMaxLength) {
    CProxyHeader header;
    header.nMaxLength = nMaxLength;
    return header;
}

CProxyHeader Complete(std::size_t nLength, CProxyHeader header = {}) {
    header.eParse = EProxyParse::Complete;
    header.nLength = nLength;
    header.nMaxLength = nLength;
    return header;
}

std::vector<std::string> SplitAtBlanks(const std::string& strLine) {
    std::vector<std::string> words;
    std::size_t nStart = 0;
    for (std::size_t nBlank; (nBlank = strLine.find(' ', nStart)) != std::string::npos;) {
        words.push_back(strLine.substr(nStart, nBlank - nStart));
        nStart = nBlank + 1;
    }
    words.push_back(strLine.substr(nStart));
    return words;
}

// 0 to 65535, decimal, without a sign or leading zeros.
bool ParsePort(const std::string& strText, std::uint16_t& nPort) {
    if (strText.empty() || strText.size() > 5) return false;
    if (strText.find_first_not_of("0123456789") != std::string::npos) return false;
    if (strText.size() > 1 && strText[0] == '0') return false;
    const unsigned long nValue = std::stoul(strText);
    if (nValue > 65535) return false;
    nPort = static_cast<std::uint16_t>(nValue);
    return true;
}

// "TCP4 src dst sport dport", "TCP6 ...", or "UNKNOWN" with anything after it.
CProxyHeader ParseV1Line(const std::string& strLine, std::size_t nLength) {
    const std::vector<std::string> words = SplitAtBlanks(strLine);
    if (words[0] == "UNKNOWN") return Complete(nLength);
    if (words.size() != 5 || (words[0] != "TCP4" && words[0] != "TCP6")) return Invalid();
    CProxyHeader header;
    std::uint16_t nDestinationPort = 0;
    if (!ParsePort(words[3], header.nPort) || !ParsePort(words[4], nDestinationPort))
        return Invalid();
    const int nFamily = words[0] == "TCP4" ? AF_INET : AF_INET6;
    unsigned char source[16], destination[16];
    if (inet_pton(nFamily, words[1].c_str(), source) != 1 ||
        inet_pton(nFamily, words[2].c_str(), destination) != 1)
        return Invalid();
    if (nFamily == AF_INET) {
        header.eSource = EProxySource::IPv4;
        std::memcpy(header.address.data(), source, header.address.size());
    } else {
        header.eSource = EProxySource::IPv6;
        header.strSource = words[1];
    }
    return Complete(nLength, header);
}

CProxyHeader ParseV1(const std::uint8_t* pData, std::size_t nSize) {
    const std::size_t nScan = std::min(nSize, kProxyV1MaxBytes);
    const auto* pEnd = static_cast<const std::uint8_t*>(std::memchr(pData, '\n', nScan));
    if (pEnd == nullptr) return nScan < kProxyV1MaxBytes ? NeedMore(kProxyV1MaxBytes) : Invalid();
    const std::size_t nLength = static_cast<std::size_t>(pEnd - pData) + 1;
    if (nLength < kV1PrefixBytes + 2 || pData[nLength - 2] != '\r') return Invalid();
    const std::string strLine(reinterpret_cast<const char*>(pData) + kV1PrefixBytes,
                              nLength - kV1PrefixBytes - 2);
    // Nothing but printable text: a NUL or a CR inside the line is no header of ours.
    for (unsigned char cByte : strLine)
        if (cByte < 0x20 || cByte > 0x7E) return Invalid();
    return ParseV1Line(strLine, nLength);
}

// The TLVs after the addresses must fill the rest of the header exactly.
bool TlvsFill(const std::uint8_t* pData, std::size_t nFrom, std::size_t nTo) {
    while (nFrom < nTo) {
        if (nTo - nFrom < kTlvHeadBytes) return false;
        nFrom +=
            kTlvHeadBytes + (static_cast<std::size_t>(pData[nFrom + 1]) << 8 | pData[nFrom + 2]);
    }
    return nFrom == nTo;
}

CProxyHeader ParseV2Addresses(const std::uint8_t* pData, std::uint8_t nFamily,
                              std::size_t nLength) {
    CProxyHeader header;
    const std::uint8_t* pBlock = pData + kProxyV2HeadBytes;
    if (nFamily == kFamilyInet) {
        header.eSource = EProxySource::IPv4;
        std::memcpy(header.address.data(), pBlock, header.address.size());
        header.nPort = static_cast<std::uint16_t>(pBlock[8] << 8 | pBlock[9]);
    } else if (nFamily == kFamilyInet6) {
        char szText[INET6_ADDRSTRLEN] = "";
        inet_ntop(AF_INET6, pBlock, szText, sizeof szText);
        header.eSource = EProxySource::IPv6;
        header.strSource = szText;
        header.nPort = static_cast<std::uint16_t>(pBlock[32] << 8 | pBlock[33]);
    }
    return Complete(nLength, header);
}

// A balancer's own connection (LOCAL) carries nothing we read: its block, family included, is
// skipped whole. A PROXY command needs a known family and transport and room for its addresses.
CProxyHeader ParseV2(const std::uint8_t* pData, std::size_t nSize) {
    if (nSize < kProxyV2HeadBytes) return NeedMore(kProxyV2HeadBytes);
    const std::uint8_t nVersion = pData[12] >> 4, nCommand = pData[12] & 0x0F;
    const std::uint8_t nFamily = pData[13] >> 4, nTransport = pData[13] & 0x0F;
    if (nVersion != 2 || (nCommand != kCommandLocal && nCommand != kCommandProxy)) return Invalid();
    const std::size_t nLength =
        kProxyV2HeadBytes + (static_cast<std::size_t>(pData[14]) << 8 | pData[15]);
    if (nCommand == kCommandLocal) return nSize < nLength ? NeedMore(nLength) : Complete(nLength);
    if (nFamily > kFamilyUnix || nTransport > 2) return Invalid();
    const std::size_t nBlock = nFamily == kFamilyInet    ? kInetBlock
                               : nFamily == kFamilyInet6 ? kInet6Block
                               : nFamily == kFamilyUnix  ? kUnixBlock
                                                         : 0;
    if (nLength < kProxyV2HeadBytes + nBlock) return Invalid();
    if (nSize < nLength) return NeedMore(nLength);
    if (!TlvsFill(pData, kProxyV2HeadBytes + nBlock, nLength)) return Invalid();
    return ParseV2Addresses(pData, nFamily, nLength);
}
}  // namespace

CProxyHeader ParseProxyHeader(const std::uint8_t* pData, std::size_t nSize) {
    if (nSize == 0) return NeedMore(kProxyV1MaxBytes);
    if (StartsLike(pData, nSize, kV2Signature, sizeof kV2Signature)) {
        if (nSize < sizeof kV2Signature) return NeedMore(kProxyV2HeadBytes);
        return ParseV2(pData, nSize);
    }
    if (!StartsLike(pData, nSize, kV1Prefix, kV1PrefixBytes)) return Invalid();
    if (nSize < kV1PrefixBytes) return NeedMore(kProxyV1MaxBytes);
    return ParseV1(pData, nSize);
}
