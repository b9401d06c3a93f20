// The gateway's figures as a metrics page in the Prometheus text exposition format (version
// 0.0.4), and the label escaping that format asks for. Pure functions: any thread, no failure.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "gateway/ScreeningMetrics.h"
#include "gateway/ZoneHealth.h"

// Everything the page shows, taken at one moment.
struct CGatewayFigures {
    std::uint64_t nConnections = 0;      // clients accepted since the start
    std::uint64_t nRejected = 0;         // clients turned away as listed
    int nMailServerUp = 1;               // the last connection to the mail server: 1 made, 0 failed
    std::uint64_t nOpenConnections = 0;  // client connections open now (monitors included)
    CScreeningMetrics::CSnapshot screening;
    // With zone checks on: each zone by name, with its health.
    bool bZoneChecks = false;
    std::vector<std::pair<std::string, EZoneHealth>> zoneHealths;
    // One of the client defences (GreetWait, the per-client limits, DeferOnDnsFailure) is on:
    // their outcomes are shown (as they are once any has been counted).
    bool bClientDefences = false;
};

// The media type of the page.
extern const char* const kMetricsContentType;

std::string RenderMetrics(const CGatewayFigures& figures);

// A label value as the format quotes it: backslash, double quote and line feed escaped, and
// always UTF-8: a byte that is not part of a well-formed UTF-8 character, each byte of a control
// character, and "%" itself are written %XX, so that distinct texts stay distinct labels.
std::string EscapeLabelValue(const std::string& strValue);
