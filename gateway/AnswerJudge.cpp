#include "gateway/AnswerJudge.h"

#include <cstdio>

#include "platform/DnsQuery.h"
#include "settings/NetPrefix.h"

namespace {
using Record = std::array<std::uint8_t, 4>;

constexpr Record kListedAnswer{127, 0, 0, 2};

std::string Hex(const char* pPrefix, const Record& record) {
    char szText[32];
    std::snprintf(szText, sizeof szText, "%s %x", pPrefix, LittleEndianValue(record));
    return szText;
}

// The first record only, as zones were always read.
CZoneVerdict JudgePlain(const CDnsAnswer& answer) {
    const Record& record = answer.records.front().address;
    const bool bListed = record == kListedAnswer;
    return {bListed ? EZoneAnswer::Listed : EZoneAnswer::NotListed, true, record,
            Hex("Listed", record)};
}

// Every record: a refusal anywhere outweighs a listing.
CZoneVerdict JudgeFiltered(const CDnsblZone& zone, const CDnsAnswer& answer) {
    for (const CDnsRecordA& record : answer.records)
        if (IsRefusalRecord(record.address))
            return {EZoneAnswer::Refused, false, record.address, Hex("Refused", record.address)};
    for (const CDnsRecordA& record : answer.records)
        if (zone.filter.Matches(record.address))
            return {EZoneAnswer::Listed, true, record.address, Hex("Listed", record.address)};
    return {EZoneAnswer::NotListed, false, {}, "Not Listed"};
}
}  // namespace

unsigned LittleEndianValue(const Record& bytes) {
    return static_cast<unsigned>(bytes[0]) | static_cast<unsigned>(bytes[1]) << 8 |
           static_cast<unsigned>(bytes[2]) << 16 | static_cast<unsigned>(bytes[3]) << 24;
}

bool IsRefusalRecord(const Record& record) {
    return record[0] != 127 || (record[1] == 255 && record[2] == 255);
}

std::string RefusalText(const Record& record) {
    return "Refused the Query (" + CNetAddress::FromIPv4(record).ToText() + ")";
}

CZoneVerdict JudgeZoneAnswer(const CDnsblZone& zone, const CDnsAnswer& answer) {
    if (answer.nStatus == kDnsSuccess && !answer.records.empty())
        return zone.bPlain ? JudgePlain(answer) : JudgeFiltered(zone, answer);
    if (answer.nStatus == kDnsNameNotFound)
        return {EZoneAnswer::NotListed, false, {}, "Not Listed"};
    return {EZoneAnswer::Failed, false, {}, "Err: " + std::to_string(answer.nStatus)};
}
