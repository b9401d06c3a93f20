// A DNSBL entry's text read as a zone: "name", or "name=filter", "name*weight",
// "name=filter*weight".
//
// - A text with neither "=" nor "*" is a plain zone: the name is the whole text, only the
//   answer 127.0.0.2 lists, and the weight is 1. Any text reads as a plain zone.
// - The filter is four dot-separated parts, each a number from 0 to 255 or a bracketed list of
//   numbers and ranges separated by ";": "127.0.0.[2..11]", "127.0.[0..255].[2;4;9..11]". An
//   answer record lists when each of its four bytes is one its part allows. Without a filter a
//   zone that has a weight lists on 127.0.0.2 only.
// - The weight is a whole number, negative for an allowlist; without one it is 1.
//
// ParseDnsblZone is a pure function: any thread, nothing kept, never throws. A text it cannot
// read gives an error text naming what is wrong, and no zone.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <string>

class CReplyFilter {
public:
    // The filter that allows 127.0.0.2 alone.
    static CReplyFilter ListedAnswerOnly();

    bool Matches(const std::array<std::uint8_t, 4>& record) const;
    // The filter as text, each part a number or a bracketed list of ranges; reads back to the
    // same filter.
    std::string ToText() const;
    bool operator==(const CReplyFilter&) const = default;

    std::array<std::bitset<256>, 4> m_parts;
};

struct CDnsblZone {
    std::string strName;  // what is asked and shown: the text before "=" or "*"
    bool bPlain = true;   // neither "=" nor "*": read and judged as zones always were
    CReplyFilter filter = CReplyFilter::ListedAnswerOnly();
    std::int32_t nWeight = 1;

    bool operator==(const CDnsblZone&) const = default;
};

// Reads an entry's text. Empty on success, with zone set; otherwise the reason (without the
// text itself), zone untouched.
std::string ParseDnsblZone(const std::string& strText, CDnsblZone& zone);

// The text that reads back to the same zone: the plain name alone, otherwise
// "name=filter*weight".
std::string FormatDnsblZone(const CDnsblZone& zone);

// Weights beyond this size, either way, are refused, so that no sum of them can overflow.
constexpr std::int32_t kMaxZoneWeight = 1000000;
