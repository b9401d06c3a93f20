#include "gateway/MetricsText.h"

#include <cstdio>
#include <cstdlib>

const char* const kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

namespace {
const char* const kOutcomeNames[CScreeningMetrics::kOutcomes] = {"listed", "not_listed", "error",
                                                                 "refused"};

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
}  // namespace

std::string EscapeLabelValue(const std::string& strValue) {
    std::string strEscaped;
    for (char c : strValue) {
        if (c == '\\' || c == '"') strEscaped += '\\';
        strEscaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return strEscaped;
}

std::string RenderMetrics(const CGatewayFigures& figures) {
    std::string strPage;
    Family(strPage, "tarnwick_connections_total", "counter", "Client connections accepted.");
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
    return strPage;
}
