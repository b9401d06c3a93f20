// Network addresses and prefixes as the settings write them: "192.0.2.10" (one address) or
// "192.0.2.0/24" (a network), for exclusions, ProxyFrom and MonitorFrom.
//
// CNetAddress holds an address of either family in 16 bytes (IPv4 in the first four), so that
// the same types serve both families; only IPv4 text is read so far. ParseNetPrefix is a pure
// function: any thread, nothing kept, never throws; a text it cannot read gives an error text
// that says why, and no prefix.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

struct CNetAddress {
    enum Family : std::uint8_t { kIPv4 = 4, kIPv6 = 6 };

    Family eFamily = kIPv4;
    std::array<std::uint8_t, 16> bytes{};  // network order; IPv4 uses the first four

    static CNetAddress FromIPv4(const std::array<std::uint8_t, 4>& address);
    // An IPv4 address as sockaddr_in holds it (network order).
    static CNetAddress FromIPv4(std::uint32_t nNetworkOrder);
    // 32 or 128.
    int Bits() const { return eFamily == kIPv4 ? 32 : 128; }
    std::string ToText() const;
    bool operator==(const CNetAddress&) const = default;
};

struct CNetAddressHash {
    size_t operator()(const CNetAddress& address) const;
};

struct CNetPrefix {
    CNetAddress address;  // the bits beyond nBits are zero
    int nBits = 32;

    // The address is of the same family and its first nBits bits are the prefix's.
    bool Contains(const CNetAddress& other) const;
    // "a.b.c.d/n", or the address alone for a single address.
    std::string ToText() const;
    bool operator==(const CNetPrefix&) const = default;
};

// Reads "a.b.c.d" (a single address, /32) or "a.b.c.d/n" (n from 0 to 32, the address's bits
// beyond n all zero). Empty on success, with prefix set; otherwise the reason, prefix untouched.
// Blanks are not skipped.
std::string ParseNetPrefix(const std::string& strText, CNetPrefix& prefix);

// True when the text asks for a network rather than one address (it holds a "/").
inline bool IsNetworkText(const std::string& strText) {
    return strText.find('/') != std::string::npos;
}
