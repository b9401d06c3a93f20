// Turns the answer to a type-A query into the DNSBL lookup's result: a status, every IPv4 address
// with its time to live, and for a name that does not exist the negative time to live its SOA
// record gives. The one place that reads an answer buffer, whoever drives the resolver (the
// blocking DnsQuery, or a loop that runs c-ares itself).
//
// Rules: a failed query keeps its status; an answer is read with c-ares' parser and gives its
// A records for the question's name (or the name a CNAME leads to), in their order; an answer
// without one (no records, only a CNAME, only other types) is ARES_ENODATA; an answer that does
// not parse is c-ares' parse status (ARES_EBADRESP, say). An answer cut short, as c-ares cuts a
// UDP answer longer than 512 bytes, is read as far as its last complete record; but one whose
// names lead into the 12-byte header through a compression pointer (no server writes such a
// name) is refused, as c-ares refuses it, since its reading would depend on the answer count
// the reader writes into its copy. A name that does not exist (ARES_ENOTFOUND) keeps that
// status, and its answer's authority section is searched for an SOA record: the negative time
// to live is the smaller of that record's own time to live and its MINIMUM field, as resolvers
// cache such an answer. Any thread may call; nothing is kept between calls; never throws.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

struct CDnsRecordA {
    std::array<std::uint8_t, 4> address;  // network order
    std::uint32_t nTtl;                   // seconds

    bool operator==(const CDnsRecordA&) const = default;
};

struct CDnsAnswer {
    int nStatus = 0;  // as DnsQuery returns it: kDnsSuccess, kDnsNameNotFound, or a failure
    std::vector<CDnsRecordA> records;          // every A record on success, none otherwise
    std::optional<std::uint32_t> negativeTtl;  // a name that does not exist, with an SOA record

    bool operator==(const CDnsAnswer&) const = default;
};

// nStatus, pAnswer and nLength as c-ares' query callback gives them.
CDnsAnswer ReadDnsAnswer(int nStatus, const unsigned char* pAnswer, int nLength);

// nStatus is the query's status as c-ares' query callback gives it, pAnswer and nLength the
// answer it came with (may be null and 0). On kDnsSuccess (0), address holds the first IPv4
// address (four bytes, network order); otherwise it is left as it was.
int DnsAnswerA(int nStatus, const unsigned char* pAnswer, int nLength,
               std::array<std::uint8_t, 4>& address);
