#include "settings/DnsblZone.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace {
constexpr const char* kBlanks = " \t\n\v\f\r";

// Splits at every occurrence of cSeparator; an empty text gives one empty piece.
std::vector<std::string> Split(const std::string& strText, char cSeparator) {
    std::vector<std::string> pieces;
    size_t nStart = 0;
    for (size_t nAt; (nAt = strText.find(cSeparator, nStart)) != std::string::npos;) {
        pieces.push_back(strText.substr(nStart, nAt - nStart));
        nStart = nAt + 1;
    }
    pieces.push_back(strText.substr(nStart));
    return pieces;
}

// A number from 0 to 255: one to three decimal digits.
bool ReadByte(const std::string& strText, int& nValue) {
    if (strText.empty() || strText.size() > 3) return false;
    nValue = 0;
    for (char c : strText) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        nValue = nValue * 10 + (c - '0');
    }
    return nValue <= 255;
}

std::string NotAByte(const std::string& strText) {
    return "\"" + strText + "\" in the filter is not a number from 0 to 255";
}

// One list item, "n" or "n..m", added to part.
std::string ReadRange(const std::string& strItem, std::bitset<256>& part) {
    const size_t nDots = strItem.find("..");
    const std::string strLow = strItem.substr(0, nDots);
    const std::string strHigh = nDots == std::string::npos ? strLow : strItem.substr(nDots + 2);
    int nLow = 0, nHigh = 0;
    if (!ReadByte(strLow, nLow)) return NotAByte(strLow);
    if (!ReadByte(strHigh, nHigh)) return NotAByte(strHigh);
    if (nHigh < nLow) return "the range " + strItem + " in the filter runs backwards";
    for (int n = nLow; n <= nHigh; ++n) part.set(n);
    return "";
}

// One of the four parts: a number, or "[item;item...]".
std::string ReadPart(const std::string& strPart, std::bitset<256>& part) {
    if (strPart.empty() || strPart[0] != '[') {
        int nValue = 0;
        if (!ReadByte(strPart, nValue)) return NotAByte(strPart);
        part.set(nValue);
        return "";
    }
    if (strPart.back() != ']' || strPart.size() < 2)
        return "the list \"" + strPart + "\" in the filter has no closing \"]\"";
    const std::string strList = strPart.substr(1, strPart.size() - 2);
    if (strList.empty()) return "the filter has an empty list \"[]\"";
    for (const std::string& strItem : Split(strList, ';'))
        if (std::string strError = ReadRange(strItem, part); !strError.empty()) return strError;
    return "";
}

std::string ReadFilter(const std::string& strText, CReplyFilter& filter) {
    // Dots inside a list ("[2..11]") are not part separators.
    std::vector<std::string> parts(1);
    int nDepth = 0;
    for (char c : strText) {
        if (c == '[') ++nDepth;
        if (c == ']') --nDepth;
        if (c == '.' && nDepth == 0)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    if (parts.size() != 4)
        return "the filter \"" + strText + "\" does not have four parts separated by dots";
    CReplyFilter read;
    for (size_t i = 0; i < parts.size(); ++i)
        if (std::string strError = ReadPart(parts[i], read.m_parts[i]); !strError.empty())
            return strError;
    filter = read;
    return "";
}

std::string ReadWeight(const std::string& strText, std::int32_t& nWeight) {
    const std::string strError = "the weight \"" + strText + "\" is not a whole number from -" +
                                 std::to_string(kMaxZoneWeight) + " to " +
                                 std::to_string(kMaxZoneWeight);
    const size_t nDigits = strText.size() - (!strText.empty() && strText[0] == '-' ? 1 : 0);
    if (nDigits == 0 || nDigits > 7) return strError;
    std::int32_t nValue = 0;
    for (size_t i = strText.size() - nDigits; i < strText.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(strText[i]))) return strError;
        nValue = nValue * 10 + (strText[i] - '0');
    }
    if (nValue > kMaxZoneWeight) return strError;
    nWeight = strText[0] == '-' ? -nValue : nValue;
    return "";
}

// The part as text: a number, or a list of its runs.
std::string PartText(const std::bitset<256>& part) {
    std::vector<std::string> runs;
    for (int n = 0; n < 256; ++n) {
        if (!part.test(n)) continue;
        int nEnd = n;
        while (nEnd + 1 < 256 && part.test(nEnd + 1)) ++nEnd;
        runs.push_back(nEnd == n ? std::to_string(n)
                                 : std::to_string(n) + ".." + std::to_string(nEnd));
        n = nEnd;
    }
    if (runs.size() == 1 && runs[0].find('.') == std::string::npos) return runs[0];
    std::string strText = "[";
    for (size_t i = 0; i < runs.size(); ++i) strText += (i ? ";" : "") + runs[i];
    return strText + "]";
}
}  // namespace

CReplyFilter CReplyFilter::ListedAnswerOnly() {
    CReplyFilter filter;
    filter.m_parts[0].set(127);
    filter.m_parts[1].set(0);
    filter.m_parts[2].set(0);
    filter.m_parts[3].set(2);
    return filter;
}

bool CReplyFilter::Matches(const std::array<std::uint8_t, 4>& record) const {
    for (size_t i = 0; i < record.size(); ++i)
        if (!m_parts[i].test(record[i])) return false;
    return true;
}

std::string CReplyFilter::ToText() const {
    return PartText(m_parts[0]) + "." + PartText(m_parts[1]) + "." + PartText(m_parts[2]) + "." +
           PartText(m_parts[3]);
}

std::string ParseDnsblZone(const std::string& strText, CDnsblZone& zone) {
    const size_t nEquals = strText.find('='), nStar = strText.find('*');
    if (nEquals == std::string::npos && nStar == std::string::npos) {
        zone = CDnsblZone{strText};
        return "";
    }
    if (strText.find_first_of(kBlanks) != std::string::npos)
        return "a zone with a filter or a weight is written without blanks";
    if (nEquals != std::string::npos && nStar != std::string::npos && nStar < nEquals)
        return "the filter (\"=\") must come before the weight (\"*\")";
    CDnsblZone read;
    read.bPlain = false;
    read.strName = strText.substr(0, std::min(nEquals, nStar));
    if (read.strName.empty()) return "the zone name before \"=\" or \"*\" is empty";
    if (nEquals != std::string::npos) {
        const size_t nEnd = nStar == std::string::npos ? strText.size() : nStar;
        const std::string strFilter = strText.substr(nEquals + 1, nEnd - nEquals - 1);
        if (strFilter.find('=') != std::string::npos) return "the text has more than one \"=\"";
        if (std::string strError = ReadFilter(strFilter, read.filter); !strError.empty())
            return strError;
    }
    if (nStar != std::string::npos) {
        const std::string strWeight = strText.substr(nStar + 1);
        if (strWeight.find_first_of("*=") != std::string::npos)
            return "the text has more than one \"*\", or a \"=\" after it";
        if (std::string strError = ReadWeight(strWeight, read.nWeight); !strError.empty())
            return strError;
    }
    zone = read;
    return "";
}

std::string FormatDnsblZone(const CDnsblZone& zone) {
    if (zone.bPlain) return zone.strName;
    return zone.strName + "=" + zone.filter.ToText() + "*" + std::to_string(zone.nWeight);
}
