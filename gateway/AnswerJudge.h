// JudgeZoneAnswer: what one zone's answer about one address means, whichever screening asked and
// whether the answer is fresh or kept. A pure function: any thread, nothing kept, never throws.
//
// A plain zone (its text has neither "=" nor "*") is judged on the first record as zones always
// were: any answer raises its catch count, only 127.0.0.2 lists. Any other zone looks at every
// record: a record in 127.255.255.0/24 (the list refused the querier) or outside 127.0.0.0/8
// makes the answer a refusal, which neither lists nor counts as a catch; otherwise any record
// its filter allows lists the address and counts as a catch, and an answer whose records all
// miss the filter lists nothing. A name that does not exist lists nothing; any other failure
// is an error, never a listing.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/DnsAnswer.h"
#include "settings/DnsblZone.h"

enum class EZoneAnswer { Listed, NotListed, Refused, Failed };

struct CZoneVerdict {
    EZoneAnswer eAnswer = EZoneAnswer::Failed;
    bool bCatch = false;                   // the zone's catch count goes up
    std::array<std::uint8_t, 4> record{};  // the record a listing or a refusal is about
    std::string strDump;  // the debug dump's verdict: "Listed %x", "Refused %x", "Not Listed",
                          // "Err: %d"
};

CZoneVerdict JudgeZoneAnswer(const CDnsblZone& zone, const CDnsAnswer& answer);

// A record that is never a listing: 127.255.255.0/24, or anything outside 127.0.0.0/8.
bool IsRefusalRecord(const std::array<std::uint8_t, 4>& record);

// A refusal as the logs name it, with its record: "Refused the Query (127.255.255.254)".
std::string RefusalText(const std::array<std::uint8_t, 4>& record);

// The four bytes as the dump shows them: read as a little-endian number (127.0.0.2 is 200007f).
unsigned LittleEndianValue(const std::array<std::uint8_t, 4>& bytes);
