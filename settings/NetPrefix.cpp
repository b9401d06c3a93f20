#include "settings/NetPrefix.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <functional>

namespace {
constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
constexpr int kMappedBits = 96;

bool IsMapped(const std::uint8_t* pBytes) {
    return std::memcmp(pBytes, kMappedPrefix, sizeof kMappedPrefix) == 0;
}

std::string DottedText(const std::uint8_t* p) {
    char szText[16];
    std::snprintf(szText, sizeof szText, "%u.%u.%u.%u", p[0], p[1], p[2], p[3]);
    return szText;
}

// The eight 16-bit groups, the longest run of zero groups (two or more; the first of equal
// runs) written "::", each group in lower-case hexadecimal without leading zeros.
std::string IPv6Text(const std::array<std::uint8_t, 16>& bytes) {
    if (IsMapped(bytes.data())) return "::ffff:" + DottedText(bytes.data() + 12);
    unsigned groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = static_cast<unsigned>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    int nRunStart = -1, nRunLength = 0;
    for (int i = 0; i < 8;) {
        int nEnd = i;
        while (nEnd < 8 && groups[nEnd] == 0) ++nEnd;
        if (nEnd - i > nRunLength && nEnd - i >= 2) {
            nRunStart = i;
            nRunLength = nEnd - i;
        }
        i = nEnd == i ? i + 1 : nEnd;
    }
    std::string strText;
    for (int i = 0; i < 8; ++i) {
        if (i == nRunStart) {
            strText += "::";
            i += nRunLength - 1;
            continue;
        }
        if (!strText.empty() && strText.back() != ':') strText += ':';
        char szGroup[8];
        std::snprintf(szGroup, sizeof szGroup, "%x", groups[i]);
        strText += szGroup;
    }
    return strText;
}
}  // namespace

CNetAddress CNetAddress::FromIPv4(const std::array<std::uint8_t, 4>& address) {
    CNetAddress result;
    std::memcpy(result.bytes.data(), address.data(), address.size());
    return result;
}

CNetAddress CNetAddress::FromIPv4(std::uint32_t nNetworkOrder) {
    std::array<std::uint8_t, 4> address{};
    std::memcpy(address.data(), &nNetworkOrder, address.size());
    return FromIPv4(address);
}

CNetAddress CNetAddress::FromIPv6(const std::array<std::uint8_t, 16>& address) {
    if (IsMapped(address.data()))
        return FromIPv4({address[12], address[13], address[14], address[15]});
    CNetAddress result;
    result.eFamily = kIPv6;
    result.bytes = address;
    return result;
}

CNetAddress CNetAddress::FromSocketAddress(const sockaddr_storage& address, std::uint16_t& nPort) {
    nPort = 0;
    if (address.ss_family == AF_INET) {
        const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
        nPort = ntohs(ipv4.sin_port);
        return FromIPv4(ipv4.sin_addr.s_addr);
    }
    if (address.ss_family != AF_INET6) return CNetAddress();
    const auto& ipv6 = reinterpret_cast<const sockaddr_in6&>(address);
    nPort = ntohs(ipv6.sin6_port);
    std::array<std::uint8_t, 16> bytes{};
    std::memcpy(bytes.data(), &ipv6.sin6_addr, bytes.size());
    return FromIPv6(bytes);
}

std::string CNetAddress::ToText() const {
    return eFamily == kIPv4 ? DottedText(bytes.data()) : IPv6Text(bytes);
}

std::string CNetAddress::ReversedText() const {
    if (eFamily == kIPv4)
        return DottedText(
            std::array<std::uint8_t, 4>{bytes[3], bytes[2], bytes[1], bytes[0]}.data());
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string strText;
    strText.reserve(63);
    for (int i = 15; i >= 0; --i) {
        strText += kDigits[bytes[i] & 0x0F];
        strText += '.';
        strText += kDigits[bytes[i] >> 4];
        if (i > 0) strText += '.';
    }
    return strText;
}

std::array<std::uint8_t, 16> CNetAddress::IPv6Bytes() const {
    if (eFamily == kIPv6) return bytes;
    std::array<std::uint8_t, 16> mapped{};
    std::memcpy(mapped.data(), kMappedPrefix, sizeof kMappedPrefix);
    std::memcpy(mapped.data() + 12, bytes.data(), 4);
    return mapped;
}

size_t CNetAddressHash::operator()(const CNetAddress& address) const {
    std::uint64_t nHigh = 0, nLow = 0;
    std::memcpy(&nHigh, address.bytes.data(), 8);
    std::memcpy(&nLow, address.bytes.data() + 8, 8);
    return std::hash<std::uint64_t>()(nHigh * 31 + nLow) ^ address.eFamily;
}

namespace {
// The first nBits bits of a and b agree.
bool SameLeadingBits(const CNetAddress& a, const CNetAddress& b, int nBits) {
    const int nWhole = nBits / 8, nRest = nBits % 8;
    if (std::memcmp(a.bytes.data(), b.bytes.data(), nWhole) != 0) return false;
    if (nRest == 0) return true;
    const std::uint8_t nMask = static_cast<std::uint8_t>(0xFF << (8 - nRest));
    return (a.bytes[nWhole] & nMask) == (b.bytes[nWhole] & nMask);
}

// The address with every bit beyond the first nBits cleared.
CNetAddress Masked(const CNetAddress& address, int nBits) {
    CNetAddress masked = address;
    for (int nBit = nBits; nBit < address.Bits(); ++nBit)
        masked.bytes[nBit / 8] &= static_cast<std::uint8_t>(~(0x80 >> (nBit % 8)));
    return masked;
}

// A prefix length: decimal digits only, at most three of them.
bool ReadLength(const std::string& strText, int& nLength) {
    if (strText.empty() || strText.size() > 3) return false;
    nLength = 0;
    for (char c : strText) {
        if (c < '0' || c > '9') return false;
        nLength = nLength * 10 + (c - '0');
    }
    return true;
}

// The address part of a prefix's text, of the family its text says; false when it does not read.
bool ReadAddress(const std::string& strAddress, std::array<std::uint8_t, 16>& bytes, bool bIPv6) {
    return strAddress.find('\0') == std::string::npos &&
           inet_pton(bIPv6 ? AF_INET6 : AF_INET, strAddress.c_str(), bytes.data()) == 1;
}
}  // namespace

bool CNetPrefix::Contains(const CNetAddress& other) const {
    return other.eFamily == address.eFamily && SameLeadingBits(address, other, nBits);
}

std::string CNetPrefix::ToText() const {
    if (nBits == address.Bits()) return address.ToText();
    return address.ToText() + "/" + std::to_string(nBits);
}

std::string ParseNetPrefix(const std::string& strText, CNetPrefix& prefix) {
    const size_t nSlash = strText.find('/');
    const std::string strAddress = strText.substr(0, nSlash);
    const bool bIPv6 = IsIPv6Text(strAddress);
    std::array<std::uint8_t, 16> bytes{};
    if (!ReadAddress(strAddress, bytes, bIPv6))
        return "\"" + strAddress + "\" is not an " + (bIPv6 ? "IPv6" : "IPv4") + " address";
    // Read as written first: the mapped form becomes IPv4 only once its length is known.
    CNetAddress address;
    address.eFamily = bIPv6 ? CNetAddress::kIPv6 : CNetAddress::kIPv4;
    address.bytes = bytes;
    CNetPrefix parsed{address, address.Bits()};
    if (nSlash != std::string::npos) {
        int nLength = 0;
        if (!ReadLength(strText.substr(nSlash + 1), nLength) || nLength > address.Bits())
            return "the prefix length after \"/\" must be a number from 0 to " +
                   std::to_string(address.Bits());
        const CNetPrefix network{Masked(address, nLength), nLength};
        if (!(network.address == address))
            return "the address has bits set beyond the prefix length (the network is " +
                   network.ToText() + ")";
        parsed.nBits = nLength;
    }
    if (bIPv6 && parsed.nBits >= kMappedBits && IsMapped(bytes.data()))
        parsed = CNetPrefix{CNetAddress::FromIPv6(bytes), parsed.nBits - kMappedBits};
    prefix = parsed;
    return "";
}
