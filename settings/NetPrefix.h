// Network addresses and prefixes as the settings write them: "192.0.2.10" or "2001:db8::10" (one
// address), "192.0.2.0/24" or "2001:db8::/32" (a network), for exclusions, ProxyFrom and
// MonitorFrom; and a client's address as the gateway shows and asks it.
//
// CNetAddress holds an address of either family in 16 bytes (IPv4 in the first four). An IPv6
// address that maps an IPv4 one (::ffff:a.b.c.d) is read as that IPv4 address, wherever it comes
// from, so that such a client is an IPv4 client throughout. ParseNetPrefix is a pure function:
// any thread, nothing kept, never throws; a text it cannot read gives an error text that says
// why, and no prefix.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

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
    // An IPv6 address; one that maps an IPv4 address gives that IPv4 address.
    static CNetAddress FromIPv6(const std::array<std::uint8_t, 16>& address);
    // The address and port of a socket address of either family (port 0 for another family).
    static CNetAddress FromSocketAddress(const sockaddr_storage& address, std::uint16_t& nPort);
    // 32 or 128.
    int Bits() const { return eFamily == kIPv4 ? 32 : 128; }
    // Dotted for IPv4 ("192.0.2.10", no leading zeros); RFC 5952 for IPv6: lower case, no
    // leading zeros, the longest run of two or more zero groups (the first of equal ones) as
    // "::", and the mapped form ::ffff:a.b.c.d written with its IPv4 part dotted.
    std::string ToText() const;
    // The name a DNS list is asked under, before the zone (RFC 5782): the four numbers last
    // first for IPv4 ("10.2.0.192"), the 32 hexadecimal digits last first for IPv6.
    std::string ReversedText() const;
    // The 16 bytes of the address as IPv6 writes it: an IPv4 address in its mapped form.
    std::array<std::uint8_t, 16> IPv6Bytes() const;
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
    // "a.b.c.d/n" or "x::/n", or the address alone for a single address.
    std::string ToText() const;
    bool operator==(const CNetPrefix&) const = default;
};

// Reads an IPv4 address "a.b.c.d" or an IPv6 address (any text with a ":"), alone (a single
// address) or followed by "/n" (n up to 32 or 128, the address's bits beyond n all zero). A
// mapped IPv6 prefix of 96 bits or more reads as the IPv4 prefix it maps. Empty on success, with
// prefix set; otherwise the reason, prefix untouched. Blanks are not skipped.
std::string ParseNetPrefix(const std::string& strText, CNetPrefix& prefix);

// True when the text asks for a network rather than one address (it holds a "/").
inline bool IsNetworkText(const std::string& strText) {
    return strText.find('/') != std::string::npos;
}

// True when the text is written as an IPv6 address would be (it holds a ":").
inline bool IsIPv6Text(const std::string& strText) {
    return strText.find(':') != std::string::npos;
}
