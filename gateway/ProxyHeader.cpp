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
constexpr std::uint8_t kVersion2 = 0x20, kCommandLocal = 0x0, kCommandProxy = 0x1;
constexpr std::uint8_t kTransportStream = 0x1;
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

// An address of the header's family, from its bytes in network order.
CNetAddress ReadAddress(const std::uint8_t* pBytes, bool bIPv4) {
    if (bIPv4) return CNetAddress::FromIPv4({pBytes[0], pBytes[1], pBytes[2], pBytes[3]});
    std::array<std::uint8_t, 16> bytes{};
    std::memcpy(bytes.data(), pBytes, bytes.size());
    return CNetAddress::FromIPv6(bytes);
}

std::uint16_t ReadPort(const std::uint8_t* pBytes) {
    return static_cast<std::uint16_t>(pBytes[0] << 8 | pBytes[1]);
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
    if (!ParsePort(words[3], header.nPort) || !ParsePort(words[4], header.nDestinationPort))
        return Invalid();
    const bool bIPv4 = words[0] == "TCP4";
    std::array<std::uint8_t, 16> source{}, destination{};
    if (inet_pton(bIPv4 ? AF_INET : AF_INET6, words[1].c_str(), source.data()) != 1 ||
        inet_pton(bIPv4 ? AF_INET : AF_INET6, words[2].c_str(), destination.data()) != 1)
        return Invalid();
    header.eSource = bIPv4 ? EProxySource::IPv4 : EProxySource::IPv6;
    header.source = ReadAddress(source.data(), bIPv4);
    header.destination = ReadAddress(destination.data(), bIPv4);
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
    if (nFamily == kFamilyInet || nFamily == kFamilyInet6) {
        const bool bIPv4 = nFamily == kFamilyInet;
        const std::size_t nAddress = bIPv4 ? 4 : 16;
        header.eSource = bIPv4 ? EProxySource::IPv4 : EProxySource::IPv6;
        header.source = ReadAddress(pBlock, bIPv4);
        header.destination = ReadAddress(pBlock + nAddress, bIPv4);
        header.nPort = ReadPort(pBlock + 2 * nAddress);
        header.nDestinationPort = ReadPort(pBlock + 2 * nAddress + 2);
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

namespace {
std::string Be16(std::uint16_t nValue) {
    return {static_cast<char>(nValue >> 8), static_cast<char>(nValue & 0xFF)};
}

std::string Bytes(const std::uint8_t* pBytes, std::size_t nCount) {
    return std::string(reinterpret_cast<const char*>(pBytes), nCount);
}
}  // namespace

std::string FormatProxyHeader(int nVersion, const CNetAddress& source, std::uint16_t nSourcePort,
                              const CNetAddress& destination, std::uint16_t nDestinationPort) {
    const bool bIPv4 =
        source.eFamily == CNetAddress::kIPv4 && destination.eFamily == CNetAddress::kIPv4;
    // Both addresses as the header's family writes them.
    const CNetAddress from = bIPv4 ? source : CNetAddress{CNetAddress::kIPv6, source.IPv6Bytes()};
    const CNetAddress to =
        bIPv4 ? destination : CNetAddress{CNetAddress::kIPv6, destination.IPv6Bytes()};
    if (nVersion == 1)
        return std::string("PROXY ") + (bIPv4 ? "TCP4 " : "TCP6 ") + from.ToText() + " " +
               to.ToText() + " " + std::to_string(nSourcePort) + " " +
               std::to_string(nDestinationPort) + "\r\n";
    if (nVersion != 2) return "";
    const std::size_t nAddress = bIPv4 ? 4 : 16;
    const std::string strBlock = Bytes(from.bytes.data(), nAddress) +
                                 Bytes(to.bytes.data(), nAddress) + Be16(nSourcePort) +
                                 Be16(nDestinationPort);
    const char nCommand = kVersion2 | kCommandProxy;
    const char nFamily =
        static_cast<char>((bIPv4 ? kFamilyInet : kFamilyInet6) << 4 | kTransportStream);
    return Bytes(kV2Signature, sizeof kV2Signature) + nCommand + nFamily +
           Be16(static_cast<std::uint16_t>(strBlock.size())) + strBlock;
}
