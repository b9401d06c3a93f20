// Turns the answer to a type-A query into the DNSBL lookup's result: a status and the first IPv4
// address. The one place that reads an answer buffer, whoever drives the resolver (the blocking
// DnsQueryA, or a loop that runs c-ares itself).
//
// Rules: a failed query keeps its status; an answer is read with c-ares' parser and gives its
// first A record for the question's name (or the name a CNAME leads to); an answer without one
// (no records, only a CNAME, only other types) is ARES_ENODATA; an answer that does not parse is
// c-ares' parse status (ARES_EBADRESP, say). An answer cut short, as c-ares cuts a UDP answer
// longer than 512 bytes, is read as far as its last complete record. Any thread may call; nothing
// is kept between calls; never throws.
#pragma once

#include <array>
#include <cstdint>

// nStatus is the query's status as c-ares' query callback gives it, pAnswer and nLength the
// answer it came with (may be null and 0). On kDnsSuccess (0), address holds the first IPv4
// address (four bytes, network order); otherwise it is left as it was.
int DnsAnswerA(int nStatus, const unsigned char* pAnswer, int nLength,
               std::array<std::uint8_t, 4>& address);
