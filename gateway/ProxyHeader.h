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
// for the connection itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

enum class EProxyParse : std::uint8_t { NeedMore, Invalid, Complete };
// Whose address the connection stands for: its own peer's, or the header's source.
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
    std::array<std::uint8_t, 4> address{};  // IPv4 source, network order
    std::uint16_t nPort = 0;                // IPv4 or IPv6 source port
    std::string strSource;                  // IPv6 source in its text form
};

CProxyHeader ParseProxyHeader(const std::uint8_t* pData, std::size_t nSize);
