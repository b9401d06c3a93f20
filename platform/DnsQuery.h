// The synchronous type-A query the DNSBL lookup runs for every active zone, over c-ares.
//
// DnsQuery (and DnsQueryA, which gives the first address only) asks for exactly the name given (no
// search domains, so a name that does not exist stays "not found") and blocks the calling thread
// until the answer, a failure, or the bound below. Each thread gets its own resolver channel, made
// on its first query and reused after; it goes when the thread ends. The nameservers are those of
// /etc/resolv.conf, or the list in TARNWICK_NAMESERVERS ("127.0.0.1:5353", comma-separated) when
// that is set and not empty; a channel notices when that variable changes and is made again. Any
// thread may call; nothing is shared between threads.
//
// Failures are returned as c-ares status codes, never thrown: kDnsNameNotFound when the name
// does not exist, ARES_ETIMEOUT when no server answered in time, the set-up status when the
// channel could not be made (or the server list not read; the next query tries again), etc. An
// answer without any A record is a failure (ARES_ENODATA), not a success; platform/DnsAnswer.h
// gives the rules by which an answer is read.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/DnsAnswer.h"

// c-ares' ARES_SUCCESS and ARES_ENOTFOUND, so that callers need not include ares.h.
constexpr int kDnsSuccess = 0;
constexpr int kDnsNameNotFound = 4;

// The bound on one query. c-ares doubles the wait for each further round of tries, so one
// silent server costs kDnsTryTimeoutMs * (2^kDnsTries - 1) = 1 s + 2 s = 3 s. With several
// nameservers c-ares would give each its own tries; kDnsQueryLimitMs caps the whole query
// anyway, so it never waits much beyond 3 s.
constexpr int kDnsTryTimeoutMs = 1000;
constexpr int kDnsTries = 2;
constexpr int kDnsQueryLimitMs = 3200;

// Asks for the A records of strName: the whole answer, read by the rules of DnsAnswer.h.
CDnsAnswer DnsQuery(const std::string& strName);

// Asks for the A records of strName. On kDnsSuccess, address holds the first IPv4 address of
// the answer (four bytes, network order); otherwise it is left as it was.
int DnsQueryA(const std::string& strName, std::array<std::uint8_t, 4>& address);
