#include "gateway/MetricsText.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

const char* const kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

namespace {
const char* const kOutcomeNames[CScreeningMetrics::kOutcomes] = {"listed", "not_listed", "error",
                                                                 "refused"};
const char* const kClientOutcomeNames[CScreeningMetrics::kClientOutcomes] = {"talked_first",
                                                                             "limited", "deferred"};

void Family(std::string& strPage, const char* pName, const char* pType, const char* pHelp) {
    strPage +=
        std::string("# HELP ") + pName + " " + pHelp + "\n# TYPE " + pName + " " + pType + "\n";
}

void Sample(std::string& strPage, const std::string& strName, std::uint64_t nValue) {
    strPage += strName + " " + std::to_string(nValue) + "\n";
}

// Shortest text that reads back to the same number (the format takes Go's float syntax).
std::string Number(double dValue) {
    char szText[32];
    std::snprintf(szText, sizeof szText, "%.17g", dValue);
    for (int nDigits = 1; nDigits < 17; ++nDigits) {
        char szShort[32];
        std::snprintf(szShort, sizeof szShort, "%.*g", nDigits, dValue);
        if (std::strtod(szShort, nullptr) == dValue) return szShort;
    }
    return szText;
}

void ScreeningHistogram(std::string& strPage, const CScreeningMetrics::CSnapshot& screening) {
    const std::string strName = "tarnwick_screening_seconds";
    Family(strPage, strName.c_str(), "histogram",
           "Time taken to screen one client against the exclusions and every active zone.");
    std::uint64_t nCumulative = 0;
    for (size_t i = 0; i < CScreeningMetrics::kBucketBounds.size(); ++i) {
        nCumulative += screening.buckets[i];
        Sample(strPage,
               strName + "_bucket{le=\"" + Number(CScreeningMetrics::kBucketBounds[i]) + "\"}",
               nCumulative);
    }
    Sample(strPage, strName + "_bucket{le=\"+Inf\"}", screening.nScreenings);
    strPage += strName + "_sum " + Number(screening.dSecondsTotal) + "\n";
    Sample(strPage, strName + "_count", screening.nScreenings);
}

// A state set: one sample per zone and state, 1 for the state the zone is in. Unchecked (no
// check has answered yet, so the zone is not asked) is told apart here; tarnwick_zone_up keeps
// its meaning (0 for suspended alone).
void ZoneStates(std::string& strPage,
                const std::vector<std::pair<std::string, EZoneHealth>>& zoneHealths) {
    static const std::pair<EZoneHealth, const char*> kStates[] = {
        {EZoneHealth::Up, "up"},
        {EZoneHealth::Suspended, "suspended"},
        {EZoneHealth::Unchecked, "unchecked"}};
    Family(strPage, "tarnwick_zone_state", "gauge",
           "The health of a DNSBL zone by its checks: 1 for the state it is in (up, suspended, or "
           "unchecked: no check has answered yet, and it is not asked).");
    for (const auto& [strZone, eHealth] : zoneHealths)
        for (const auto& [eState, pName] : kStates)
            Sample(strPage,
                   "tarnwick_zone_state{zone=\"" + EscapeLabelValue(strZone) + "\",state=\"" +
                       pName + "\"}",
                   eHealth == eState ? 1 : 0);
}

// Shown only while a client defence is on or has counted a client, so that a gateway without
// them serves the page it always has.
void ClientOutcomes(std::string& strPage, const CGatewayFigures& figures) {
    const auto& clients = figures.screening.clients;
    const bool bAny = std::any_of(clients.begin(), clients.end(), [](auto n) { return n != 0; });
    if (!figures.bClientDefences && !bAny) return;
    Family(strPage, "tarnwick_client_defences_total", "counter",
           "Clients turned away before the mail server without a DNSBL listing, by outcome: "
           "talked before the greeting, over a per-client limit, or deferred while the DNSBL zones "
           "could not answer.");
    for (size_t i = 0; i < CScreeningMetrics::kClientOutcomes; ++i)
        Sample(strPage,
               std::string("tarnwick_client_defences_total{outcome=\"") + kClientOutcomeNames[i] +
                   "\"}",
               clients[i]);
}

// The length of the well-formed UTF-8 character at nPos (1 to 4 bytes), or 0 when the byte there
// does not start one. The second byte's range rules out overlong forms, surrogates and code
// points above U+10FFFF, as Prometheus' own check of the text does.
size_t Utf8SequenceLength(const std::string& strText, size_t nPos) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(strText[nPos + i]); };
    const unsigned char c = byte(0);
    if (c < 0x80) return 1;
    const size_t nLength = c >= 0xC2 && c <= 0xDF   ? 2
                           : c >= 0xE0 && c <= 0xEF ? 3
                           : c >= 0xF0 && c <= 0xF4 ? 4
                                                    : 0;
    const unsigned char nLow = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    const unsigned char nHigh = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if (nLength == 0 || nPos + nLength > strText.size() || byte(1) < nLow || byte(1) > nHigh)
        return 0;
    for (size_t i = 2; i < nLength; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return nLength;
}

// A control character of nLength bytes at nPos: C0 but line feed, DEL, or C1 (C2 80 to C2 9F).
bool IsControl(const std::string& strText, size_t nPos, size_t nLength) {
    const auto c = static_cast<unsigned char>(strText[nPos]);
    if (nLength == 1) return (c < 0x20 && c != '\n') || c == 0x7F;
    return nLength == 2 && c == 0xC2 && static_cast<unsigned char>(strText[nPos + 1]) <= 0x9F;
}

std::string PercentByte(char c) {
    char szText[4];
    std::snprintf(szText, sizeof szText, "%%%02X", static_cast<unsigned char>(c));
    return szText;
}
}  // namespace

// A label value must be UTF-8, or the whole page fails to parse and a scrape loses every figure;
// a zone's text comes from the hive and may hold any byte. So each byte that is not part of a
// well-formed UTF-8 character is written %XX (hex), and so is each byte of a control character
// (C0 but line feed, DEL, C1: well formed, but invisible or disruptive where alerts, dashboards
// and terminals show the label). "%" itself is written %25, so that the writing reads back one
// way only and distinct texts stay distinct labels ("caf\xe9" gives "caf%E9", and "caf%E9" gives
// "caf%25E9"); a zone name of letters, digits, "-", "_" and dots is written as it is.
// Backslash, double quote and line feed are escaped as the format itself escapes them.
std::string EscapeLabelValue(const std::string& strValue) {
    std::string strEscaped;
    for (size_t nPos = 0; nPos < strValue.size();) {
        const size_t nLength = Utf8SequenceLength(strValue, nPos);
        const char c = strValue[nPos];
        if (nLength == 0 || c == '%' || IsControl(strValue, nPos, nLength)) {
            const size_t nBytes = std::max<size_t>(nLength, 1);
            for (size_t i = 0; i < nBytes; ++i) strEscaped += PercentByte(strValue[nPos + i]);
            nPos += nBytes;
            continue;
        }
        if (c == '\\' || c == '"') strEscaped += '\\';
        strEscaped += c == '\n' ? std::string("\\n") : strValue.substr(nPos, nLength);
        nPos += nLength;
    }
    return strEscaped;
}

std::string RenderMetrics(const CGatewayFigures& figures) {
    std::string strPage;
    Family(strPage, "tarnwick_connections_total", "counter",
           "Connections received (CON), rejected ones and monitors included.");
    Sample(strPage, "tarnwick_connections_total", figures.nConnections);
    Family(strPage, "tarnwick_rejections_total", "counter",
           "Clients turned away because a DNSBL zone lists them.");
    Sample(strPage, "tarnwick_rejections_total", figures.nRejected);
    Family(strPage, "tarnwick_mail_server_up", "gauge",
           "1 when the last connection to the mail server was made, 0 when it failed.");
    Sample(strPage, "tarnwick_mail_server_up", figures.nMailServerUp != 0 ? 1 : 0);
    Family(strPage, "tarnwick_open_connections", "gauge", "Client connections open now.");
    Sample(strPage, "tarnwick_open_connections", figures.nOpenConnections);
    Family(strPage, "tarnwick_zone_catches_total", "counter",
           "Clients a DNSBL zone listed, by zone.");
    for (const auto& [strZone, nCount] : figures.screening.listings)
        Sample(strPage, "tarnwick_zone_catches_total{zone=\"" + EscapeLabelValue(strZone) + "\"}",
               nCount);
    Family(strPage, "tarnwick_dns_queries_total", "counter", "DNSBL queries, by outcome.");
    for (size_t i = 0; i < CScreeningMetrics::kOutcomes; ++i)
        Sample(strPage,
               std::string("tarnwick_dns_queries_total{outcome=\"") + kOutcomeNames[i] + "\"}",
               figures.screening.queries[i]);
    Family(strPage, "tarnwick_dns_cache_hits_total", "counter",
           "DNSBL answers taken from the answer cache instead of a query.");
    Sample(strPage, "tarnwick_dns_cache_hits_total", figures.screening.nCacheHits);
    if (figures.bZoneChecks) {
        Family(strPage, "tarnwick_zone_up", "gauge",
               "0 while a DNSBL zone is suspended by its checks, 1 otherwise.");
        for (const auto& [strZone, eHealth] : figures.zoneHealths)
            Sample(strPage, "tarnwick_zone_up{zone=\"" + EscapeLabelValue(strZone) + "\"}",
                   eHealth != EZoneHealth::Suspended ? 1 : 0);
        ZoneStates(strPage, figures.zoneHealths);
    }
    ScreeningHistogram(strPage, figures.screening);
    ClientOutcomes(strPage, figures);
    return strPage;
}
