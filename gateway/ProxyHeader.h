// The PROXY protocol header that a trusted load balancer writes before a client's own bytes, in
// version 1 (one text line) or version 2 (binary), as HAProxy's send-proxy and send-proxy-v2
// write it. It tells the address of the client the balancer accepted.
//
// ParseProxyHeader is a pure function over the bytes received so far, from the first byte of the
// connection on; any thread may call it. It never reads beyond nSize, keeps nothing between
// calls and never throws. Given more bytes of the same stream its answer only moves forward:
// NeedMore, then Complete or Invalid for good.
//
// Version 1: "PROXY TCP4 <src> <dst> <sport> <dport>\r\n" (TCP6 with IPv6 addresses), or
// "PROXY UNKNOWN ...\r\n"; at most kProxyV1MaxBytes bytes, CR LF included; single blanks; ports
// decimal without leading zeros. Version 2: the 12-byte signature, version 2, the LOCAL or PROXY
// command, a known family and transport, a length, the addresses for the family, then TLVs
// (type, 16-bit length, value) that must fill the rest exactly; their contents are ignored.
// LOCAL (a balancer's own health check), UNKNOWN, and the unspecified and UNIX families stand
// for the connection itself. A source in IPv6's mapped form (::ffff:a.b.c.d) is that IPv4
// address (settings/NetPrefix.h).
//
// FormatProxyHeader writes the header the other way, for the mail server: one that names the
// client and the address it connected to, in either version.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "settings/NetPrefix.h"

enum class EProxyParse : std::uint8_t { NeedMore, Invalid, Complete };
// Whose address the connection stands for: its own peer's, or the header's source (of the
// header's family: TCP4/AF_INET or TCP6/AF_INET6).
enum class EProxySource : std::uint8_t { Connection, IPv4, IPv6 };

constexpr std::size_t kProxyV1MaxBytes = 107;
constexpr std::size_t kProxyV2HeadBytes = 16;
constexpr std::size_t kProxyV2MaxBytes = kProxyV2HeadBytes + 65535;

struct CProxyHeader {
    EProxyParse eParse = EProxyParse::NeedMore;
    // Complete: the header's length; the client's own bytes follow it.
    std::size_t nLength = 0;
    // The most bytes the header can still turn out to have (NeedMore): what to read at most.
    std::size_t nMaxLength = kProxyV1MaxBytes;
    EProxySource eSource = EProxySource::Connection;
    // With a source: the client's address and port, and the address and port it connected to.
    CNetAddress source;
    std::uint16_t nPort = 0;
    CNetAddress destination;
    std::uint16_t nDestinationPort = 0;
};

CProxyHeader ParseProxyHeader(const std::uint8_t* pData, std::size_t nSize);

// The header of version nVersion (1 or 2) for a connection from source:nSourcePort to
// destination:nDestinationPort: TCP4/AF_INET when both are IPv4, otherwise TCP6/AF_INET6 with an
// IPv4 address in its mapped form. Empty for another version.
std::string FormatProxyHeader(int nVersion, const CNetAddress& source, std::uint16_t nSourcePort,
                              const CNetAddress& destination, std::uint16_t nDestinationPort);
