#include "settings/NetPrefix.h"

#include <arpa/inet.h>

#include <cstring>
#include <functional>

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

std::string CNetAddress::ToText() const {
    char szText[INET6_ADDRSTRLEN] = "";
    inet_ntop(eFamily == kIPv4 ? AF_INET : AF_INET6, bytes.data(), szText, sizeof szText);
    return szText;
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
    in_addr ipv4{};
    if (strAddress.find('\0') != std::string::npos ||
        inet_pton(AF_INET, strAddress.c_str(), &ipv4) != 1)
        return "\"" + strAddress + "\" is not an IPv4 address";
    CNetPrefix parsed{CNetAddress::FromIPv4(ipv4.s_addr), 32};
    if (nSlash != std::string::npos) {
        int nLength = 0;
        if (!ReadLength(strText.substr(nSlash + 1), nLength) || nLength > 32)
            return "the prefix length after \"/\" must be a number from 0 to 32";
        const CNetPrefix network{Masked(parsed.address, nLength), nLength};
        if (!(network.address == parsed.address))
            return "the address has bits set beyond the prefix length (the network is " +
                   network.address.ToText() + "/" + std::to_string(nLength) + ")";
        parsed.nBits = nLength;
    }
    prefix = parsed;
    return "";
}
