#include "host/SettingsCheck.h"

#include <arpa/inet.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "gateway/ScreeningPolicy.h"
#include "gateway/ZoneChecker.h"
#include "gateway/ZoneTest.h"
#include "logging/ActivityLog.h"
#include "platform/AsyncSocket.h"
#include "platform/CommandLineInfo.h"
#include "platform/DnsChannel.h"
#include "platform/JournalStream.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "settings/DnsblZone.h"
#include "settings/NetPrefix.h"

namespace {
using Problems = std::vector<std::string>;
// The values as texts, in the order the hive holds them; names compare in any letter case.
using Values = std::vector<std::pair<std::string, std::string>>;
// What is wrong with one value's text, each problem without the value's name.
using ValueCheck = void (*)(const std::string& strText, Problems& problems);

// The load reads a value the dialog writes through kSettingsValueBuffer, so a longer text is
// skipped; the values only a hive sets are read whole.
constexpr size_t kWhole = SIZE_MAX;

class CCheckSwitch : public CCommandLineInfo {
public:
    bool m_bCheck = false;
    void ParseParam(const std::string& strParam, bool /*bFlag*/, bool /*bLast*/) override {
        if (UpperCaseWord(strParam) == "CHECK") m_bCheck = true;
    }
};

// A text as the problem shows it: quoted, with control bytes written as \xNN.
std::string Quoted(const std::string& strText) {
    std::string strQuoted = "\"";
    for (const unsigned char c : strText) {
        char szEscape[8];
        std::snprintf(szEscape, sizeof szEscape, "\\x%02x", c);
        strQuoted += c < 0x20 || c == 0x7f ? std::string(szEscape) : std::string(1, char(c));
    }
    return strQuoted + "\"";
}

// A whole number written plainly: an optional "-", then 1 to 10 digits, nothing else.
std::optional<long long> WholeNumber(const std::string& strText) {
    const size_t nDigits = strText.size() - (strText.rfind('-', 0) == 0 ? 1 : 0);
    if (nDigits == 0 || nDigits > 10) return std::nullopt;
    if (strText.find_first_not_of("0123456789", strText.size() - nDigits) != std::string::npos)
        return std::nullopt;
    return std::stoll(strText);
}

void CheckRange(const std::string& strText, long long nLow, long long nHigh, const char* pWhat,
                Problems& problems) {
    const std::optional<long long> nValue = WholeNumber(strText);
    if (!nValue || *nValue < nLow || *nValue > nHigh)
        problems.push_back(Quoted(strText) + " is not " + pWhat);
}

bool IsIPv4Address(const std::string& strText) {
    in_addr address{};
    return inet_pton(AF_INET, strText.c_str(), &address) == 1;
}

// A DNS name as a query asks it: labels of 1 to 63 letters, digits, "-" or "_" (no "-" at
// either end), at most 253 characters, and perhaps a final dot.
bool IsDnsName(std::string strName) {
    if (!strName.empty() && strName.back() == '.') strName.pop_back();
    if (strName.empty() || strName.size() > 253) return false;
    for (size_t nStart = 0; nStart <= strName.size();) {
        const size_t nEnd = std::min(strName.find('.', nStart), strName.size());
        const std::string strLabel = strName.substr(nStart, nEnd - nStart);
        if (strLabel.empty() || strLabel.size() > 63 || strLabel.front() == '-' ||
            strLabel.back() == '-')
            return false;
        for (const char c : strLabel)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
        nStart = nEnd + 1;
    }
    return true;
}

// ---- what screening reads: one function for each kind of text ----

// A zone entry's text after its marker: "name[=filter][*weight]", asked under the name.
void CheckZoneText(const std::string& strZone, Problems& problems) {
    CDnsblZone zone;
    if (const std::string strError = ParseDnsblZone(strZone, zone); !strError.empty())
        problems.push_back(Quoted(strZone) + ": " + strError + ", so the entry is not asked");
    else if (!IsDnsName(zone.strName))
        problems.push_back(Quoted(zone.strName) + " is not a DNS name");
}

// An address or network that does not read: a network's problem is the reason with
// pNetworkOutcome after it; an address's says which family it is not, with pAddressOutcome.
void CheckAddressText(const std::string& strText, const char* pNetworkOutcome,
                      const char* pAddressOutcome, Problems& problems) {
    CNetPrefix prefix;
    const std::string strError = ParseNetPrefix(strText, prefix);
    if (strError.empty()) return;
    if (IsNetworkText(strText))
        problems.push_back(Quoted(strText) + ": " + strError + pNetworkOutcome);
    else
        problems.push_back(Quoted(strText) + " is not an " +
                           (IsIPv6Text(strText) ? "IPv6" : "IPv4") + " address" + pAddressOutcome);
}

// An exclusion's text after its marker: a network ("a.b.c.d/n", "2001:db8::/32") holds the
// clients inside it; an IPv6 address is compared as an address; an IPv4 address is compared, as
// text, with the client's address written a.b.c.d, so anything else never matches a client.
void CheckExclusionText(const std::string& strAddress, Problems& problems) {
    CheckAddressText(strAddress, ", so it excludes nothing", ", so no client matches it", problems);
}

// One entry of ProxyFrom or MonitorFrom, an address or a network; the load says the same of it.
void CheckListedAddress(const std::string& strEntry, Problems& problems) {
    CheckAddressText(strEntry, "; it is ignored.", " and is ignored.", problems);
}

// With ZoneCheckMinutes on, the gateway suspends every active zone that fails the test of RFC
// 5782 (2.0.0.127 listed, 1.0.0.127 not); the check asks each zone the same two names. Set
// TARNWICK_CHECK_ZONES=0 to leave the zones out (the service does, so that a block list that is
// down never keeps the gateway from starting: it suspends such a zone itself).
void CheckZoneHealth(const CScreeningPolicy& policy, Problems& problems) {
    const char* pZones = std::getenv("TARNWICK_CHECK_ZONES");
    if (!policy.ChecksOn() || (pZones != nullptr && std::string(pZones) == "0")) return;
    // The zones as screening compiles them: the active entries whose text reads (one that does
    // not is named by its entry's check), from the list's head, so the last is the hive's first.
    for (auto it = policy.zones.rbegin(); it != policy.zones.rend(); ++it) {
        const CZoneTestResult result = TestZone(it->dnsbl);
        const std::string strZone = "DNSBL " + Quoted(it->dnsbl.strName) + ": ";
        if (result.eOutcome == EZoneTest::Failed)
            problems.push_back(strZone + "the zone test fails (" + result.strReason +
                               "), so the gateway would suspend the zone");
        else if (result.eOutcome == EZoneTest::NoAnswer)
            problems.push_back(strZone + "the zone test got no answer (a time-out or a server " +
                               "failure), so the zone cannot be judged");
    }
}

// The nameservers from the environment, read by the same code that makes the gateway's
// resolver: a list it cannot use fails every DNSBL query, which lets every client through
// without a word in the log, so the check names it.
void CheckNameservers(Problems& problems) {
    const std::string strServers = ConfiguredNameservers();
    if (strServers.empty()) return;
    const std::string strWhy = NameserversProblem(strServers);
    if (!strWhy.empty())
        problems.push_back("TARNWICK_NAMESERVERS: " + Quoted(strServers) +
                           " cannot be read as nameservers (address:port, separated by commas): " +
                           strWhy + ", so every DNSBL query fails and no client is listed");
}

// ---- one function per value ----

void CheckMailServer(const std::string& strHost, Problems& problems) {
    sockaddr_storage address{};
    if (strHost.empty())
        problems.push_back("empty: there is no mail server to relay to");
    else if (!ResolveHost(strHost, address))
        problems.push_back(Quoted(strHost) + " does not resolve to an IPv4 address");
}

void CheckPort(const std::string& strText, Problems& problems) {
    CheckRange(strText, 1, 65535, "a port (1 to 65535)", problems);
}

void CheckMetricsPort(const std::string& strText, Problems& problems) {
    CheckRange(strText, 0, 65535, "a port (1 to 65535), nor 0 for no endpoint", problems);
}

// The PROXY header's version for the mail server; empty or "0" sends none.
void CheckProxyVersion(const std::string& strText, Problems& problems) {
    if (!strText.empty() && strText != "0" && strText != "1" && strText != "2")
        problems.push_back(Quoted(strText) +
                           " is neither \"1\" nor \"2\" (nor \"0\" for no header)");
}

// On or off; empty is off.
void CheckSwitch(const std::string& strText, Problems& problems) {
    if (!strText.empty() && strText != "0" && strText != "1")
        problems.push_back(Quoted(strText) + " is neither \"0\" nor \"1\"");
}

void CheckCount(const std::string& strText, Problems& problems) {
    CheckRange(strText, 0, INT32_MAX, "a count (a whole number, 0 or more)", problems);
}

void CheckThreshold(const std::string& strText, Problems& problems) {
    CheckRange(strText, 1, INT32_MAX, "a whole number of 1 or more", problems);
}

void CheckNotNegative(const std::string& strText, Problems& problems) {
    CheckRange(strText, 0, INT32_MAX, "a whole number of 0 or more", problems);
}

void CheckGreetWait(const std::string& strText, Problems& problems) {
    CheckRange(strText, 0, Settings::kMaxGreetWait, "a number of seconds from 0 to 300", problems);
}

// Empty is the default address.
void CheckMetricsAddress(const std::string& strText, Problems& problems) {
    if (!strText.empty() && !IsIPv4Address(strText))
        problems.push_back(Quoted(strText) + " is not an IPv4 address");
}

void CheckAddressList(const std::string& strList, Problems& problems) {
    for (const std::string& strEntry : ListEntries(strList)) CheckListedAddress(strEntry, problems);
}

// A list entry: "+" or "-", then the text; the load drops the first character whatever it is.
bool CheckMarker(const std::string& strEntry, Problems& problems) {
    if (strEntry.empty()) {
        problems.push_back("empty, so it is skipped");
        return false;
    }
    if (strEntry[0] != '+' && strEntry[0] != '-')
        problems.push_back(Quoted(strEntry) + " starts with neither \"+\" (active) nor \"-\" " +
                           "(disabled), and its first character is dropped");
    return true;
}

void CheckZoneEntry(const std::string& strEntry, Problems& problems) {
    if (!CheckMarker(strEntry, problems)) return;
    std::string strZone = strEntry.substr(1);
    if (Trim(strZone).empty())
        problems.push_back("holds no zone, so it is skipped");
    else
        CheckZoneText(strZone, problems);
}

void CheckExclusionEntry(const std::string& strEntry, Problems& problems) {
    if (CheckMarker(strEntry, problems)) CheckExclusionText(strEntry.substr(1), problems);
}

// ---- what the gateway does with a number, as the load read it ----

// The settings as the load filled them, and the screening policy compiled from them as the
// gateway compiles it: a value's outcome is read there, never from its text again, so that
// what the check says is what the gateway does ("5x" is read as 5, as atol reads it).
struct CLoaded {
    const Settings& settings;
    const CScreeningPolicy& policy;
};
using Outcome = std::string (*)(const CLoaded& loaded);

std::string Plural(std::int32_t nCount, const char* pUnit) {
    return std::to_string(nCount) + " " + pUnit + (nCount == 1 ? "" : "s");
}

std::string Switched(std::int32_t nValue) { return nValue != 0 ? "it is on" : "it is off"; }

std::string LoggingOutcome(const CLoaded& loaded) {
    return Switched(loaded.settings.EnableLogging);
}

std::string ConcurrentOutcome(const CLoaded& loaded) {
    return Switched(loaded.settings.ConcurrentScreening);
}

std::string ListenV6Outcome(const CLoaded& loaded) { return Switched(loaded.settings.ListenV6); }

// The endpoint opens on a port from 1 to 65535; another number is reported at start-up.
std::string MetricsPortOutcome(const CLoaded& loaded) {
    const std::int32_t nPort = loaded.settings.MetricsPort;
    if (nPort == 0) return "there is no endpoint";
    if (nPort < 1 || nPort > 65535) return "the endpoint is not opened";
    return "the endpoint listens on port " + std::to_string(nPort);
}

std::string ThresholdOutcome(const CLoaded& loaded) {
    return "the threshold is " + std::to_string(loaded.policy.nThreshold);
}

std::string CheckMinutesOutcome(const CLoaded& loaded) {
    if (!loaded.policy.ChecksOn()) return "the zones are never tested";
    const int nMinutes = std::min(loaded.policy.nCheckMinutes, CZoneChecker::kMaxPeriodMinutes);
    return "every active zone is tested every " + Plural(nMinutes, "minute");
}

std::string CacheSecondsOutcome(const CLoaded& loaded) {
    if (!loaded.policy.CacheOn()) return "no answer is kept";
    return "answers are kept for at most " + Plural(loaded.policy.nCacheSeconds, "second");
}

std::string ProxyToOutcome(const CLoaded& loaded) {
    const std::int32_t nVersion = loaded.settings.ProxyTo;
    if (nVersion != 1 && nVersion != 2) return "no header is sent";
    return "a version " + std::to_string(nVersion) + " header is sent";
}

std::string GreetWaitOutcome(const CLoaded& loaded) {
    const std::int32_t nSeconds = loaded.settings.GreetWait;
    if (nSeconds == 0) return "no client waits";
    return "a new client waits " + Plural(nSeconds, "second");
}

std::string PassHoursOutcome(const CLoaded& loaded) {
    const std::int32_t nHours = loaded.settings.GreetPassHours;
    if (nHours == 0) return "every connection waits";
    return "a client that waited skips the wait for " + Plural(nHours, "hour");
}

std::string ConnectionLimitOutcome(const CLoaded& loaded) {
    const std::int32_t nLimit = loaded.settings.ClientConnectionLimit;
    if (nLimit == 0) return "a client may hold any number of connections";
    return "a client may hold " + Plural(nLimit, "connection") + " at once";
}

std::string ConnectionRateOutcome(const CLoaded& loaded) {
    const std::int32_t nRate = loaded.settings.ClientConnectionRate;
    if (nRate == 0) return "a client may open any number of connections";
    return "a client may open " + Plural(nRate, "connection") + " a minute";
}

std::string DeferOutcome(const CLoaded& loaded) {
    return Switched(loaded.settings.DeferOnDnsFailure);
}

struct CValueRule {
    const char* pName;
    ValueCheck check;
    size_t nBuffer = kSettingsValueBuffer;
    bool bRequired = false;     // checked as empty when absent
    Outcome outcome = nullptr;  // said after each problem, for a number the load reads anyway
};

// Every value the gateway reads, and those the configuration dialog writes; RunAsService is
// never read.
const CValueRule kValueRules[] = {
    {"MailServer", CheckMailServer, kSettingsValueBuffer, true},
    {"PortIn", CheckPort},
    {"PortOut", CheckPort},
    {"EnableLogging", CheckSwitch, kSettingsValueBuffer, false, LoggingOutcome},
    {"DNSBL_Servers", CheckCount},
    {"Exclusions", CheckCount},
    {"MetricsPort", CheckMetricsPort, kWhole, false, MetricsPortOutcome},
    {"MetricsAddress", CheckMetricsAddress, kWhole},
    {"ConcurrentScreening", CheckSwitch, kWhole, false, ConcurrentOutcome},
    {"ProxyFrom", CheckAddressList, kWhole},
    {"MonitorFrom", CheckAddressList, kWhole},
    {"DnsblThreshold", CheckThreshold, kWhole, false, ThresholdOutcome},
    {"ZoneCheckMinutes", CheckNotNegative, kWhole, false, CheckMinutesOutcome},
    {"DnsblCacheSeconds", CheckNotNegative, kWhole, false, CacheSecondsOutcome},
    {"ListenV6", CheckSwitch, kWhole, false, ListenV6Outcome},
    {"ProxyTo", CheckProxyVersion, kWhole, false, ProxyToOutcome},
    {"GreetWait", CheckGreetWait, kWhole, false, GreetWaitOutcome},
    {"GreetPassHours", CheckNotNegative, kWhole, false, PassHoursOutcome},
    {"ClientConnectionLimit", CheckNotNegative, kWhole, false, ConnectionLimitOutcome},
    {"ClientConnectionRate", CheckNotNegative, kWhole, false, ConnectionRateOutcome},
    {"DeferOnDnsFailure", CheckSwitch, kWhole, false, DeferOutcome},
};

// The list entries "<prefix><i>", read for i from 0 below the count value.
struct CEntryRule {
    const char* pPrefix;
    const char* pCountName;
    ValueCheck check;
};

const CEntryRule kEntryRules[] = {
    {"DNSBL_", "DNSBL_Servers", CheckZoneEntry},
    {"Exclusion_", "Exclusions", CheckExclusionEntry},
};

const std::string* Find(const Values& values, const std::string& strName) {
    for (const auto& [strValueName, strText] : values)
        if (strcasecmp(strValueName.c_str(), strName.c_str()) == 0) return &strText;
    return nullptr;
}

// Runs one check and names the value in each problem it finds. A text the load skips for its
// length is not checked further.
void Apply(const std::string& strName, const std::string& strText, ValueCheck check, size_t nBuffer,
           Problems& problems) {
    Problems found;
    if (strText.size() >= nBuffer)
        found.push_back("longer than " + std::to_string(nBuffer - 1) +
                        " characters, so it is skipped");
    else
        check(strText.substr(0, strText.find('\0')), found);
    for (const std::string& strProblem : found) problems.push_back(strName + ": " + strProblem);
}

void CheckEntries(const Values& values, const CEntryRule& rule, Problems& problems) {
    const std::string* pCount = Find(values, rule.pCountName);
    const long long nCount = pCount != nullptr ? Atol(*pCount) : 0;
    const std::string strPrefix = rule.pPrefix;
    for (const auto& [strName, strText] : values) {
        if (strncasecmp(strName.c_str(), rule.pPrefix, strPrefix.size()) != 0 ||
            strcasecmp(strName.c_str(), rule.pCountName) == 0)
            continue;
        const long nIndex = ListEntryIndex(strName, strPrefix);
        if (nIndex < 0)
            problems.push_back(strName + ": never read: entries are named " + strPrefix + "0, " +
                               strPrefix + "1, ...");
        else if (nIndex >= nCount)
            problems.push_back(strName + ": never read, as " + rule.pCountName + " is " +
                               std::to_string(std::max(nCount, 0LL)));
        else
            Apply(strName, strText, rule.check, kSettingsValueBuffer, problems);
    }
}

void CheckValues(const Values& values, const CLoaded& loaded, Problems& problems) {
    for (const CValueRule& rule : kValueRules) {
        const std::string* pText = Find(values, rule.pName);
        if (pText == nullptr && !rule.bRequired) continue;
        const std::string strText = pText != nullptr ? *pText : "";
        Problems found;
        Apply(rule.pName, strText, rule.check, rule.nBuffer, found);
        // A text the load skips for its length has no number read from it.
        const bool bOutcome = rule.outcome != nullptr && strText.size() < rule.nBuffer;
        for (const std::string& strProblem : found)
            problems.push_back(bOutcome ? strProblem + ", so " + rule.outcome(loaded) : strProblem);
    }
    for (const CEntryRule& rule : kEntryRules) CheckEntries(values, rule, problems);
}

// The settings key's values as texts, each whole.
Values ReadKeyTexts(const std::string& strHivePath) {
    Values values;
    CRegistryKey key(strHivePath);
    if (key.Open(kSettingsKeyPath) != ERROR_SUCCESS) return values;
    for (const std::string& strName : key.ValueNames()) {
        std::string strData;
        if (key.QueryValue(strName, strData, std::numeric_limits<size_t>::max()) == ERROR_SUCCESS)
            values.emplace_back(strName, strData);
    }
    return values;
}

// What the settings file gave, as the hive would hold it: it names no values, and its lists
// are numbered from 0 in the file's order.
Values RecordTexts(const Settings& settings) {
    Values values{{"MailServer", settings.MailServer},
                  {"PortOut", std::to_string(settings.PortOut)},
                  {"PortIn", std::to_string(settings.PortIn)}};
    std::vector<std::string> zones, exclusions;
    {
        for (const CDnsblServer* p = settings.DNSBL_Servers; p; p = p->m_pNext)
            zones.push_back((p->m_bActive ? "+" : "-") + p->m_strName);
        for (const CExclusion* p = settings.Exclusions; p; p = p->m_pNext)
            exclusions.push_back((p->m_bActive ? "+" : "-") + p->m_strAddress);
    }
    // The lists run from their head, the file's last line.
    std::reverse(zones.begin(), zones.end());
    std::reverse(exclusions.begin(), exclusions.end());
    const auto addList = [&](const std::vector<std::string>& entries, const char* pCount,
                             const std::string& strPrefix) {
        values.emplace_back(pCount, std::to_string(entries.size()));
        for (size_t i = 0; i < entries.size(); ++i)
            values.emplace_back(strPrefix + std::to_string(i), entries[i]);
    };
    addList(zones, "DNSBL_Servers", "DNSBL_");
    addList(exclusions, "Exclusions", "Exclusion_");
    return values;
}

// With logging on, the activity log must be a file the gateway can append to; it opens the
// file for every line and loses the line silently when it cannot.
void CheckLogFile(const Settings& settings, Problems& problems) {
    if (settings.EnableLogging == 0) return;
    std::string strFile = settings.LogFileName;
    if (strFile.empty()) strFile = CActivityLog::kDefaultLogName;
    const size_t nSlash = strFile.rfind('/');
    const std::string strFolder =
        nSlash == std::string::npos ? "." : (nSlash == 0 ? "/" : strFile.substr(0, nSlash));
    struct stat info {};
    if (stat(strFile.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode))
            problems.push_back("LogFileName: " + Quoted(strFile) + " is not a regular file");
        else if (access(strFile.c_str(), W_OK) != 0)
            problems.push_back("LogFileName: " + Quoted(strFile) + " cannot be written (" +
                               SystemErrorText(errno) + ")");
    } else if (access(strFolder.c_str(), W_OK | X_OK) != 0) {
        problems.push_back("LogFileName: the folder " + Quoted(strFolder) + " of " +
                           Quoted(strFile) + " cannot be written (" + SystemErrorText(errno) + ")");
    }
}

// The problems in their order, each line once. The lines seen so far are kept in a hash set, so
// that a hive of 100,000 bad entries (as many lines, each perhaps twice: from the load and from
// the check) is checked in linear time.
Problems Distinct(const Problems& problems) {
    Problems distinct;
    std::unordered_set<std::string_view> seen;
    for (const std::string& strProblem : problems)
        if (seen.insert(strProblem).second) distinct.push_back(strProblem);
    return distinct;
}

// A report of the load as one line: an open failure names the hive and its code.
std::string LoadProblem(const std::string& strHivePath, int nCode, std::string strText) {
    std::replace(strText.begin(), strText.end(), '\n', ' ');
    Trim(strText);
    if (nCode == 0) return strText;
    return strHivePath + ": " + strText + " Error " + std::to_string(nCode);
}
}  // namespace

bool IsSettingsCheck(int argc, const char* const* argv) {
    CCheckSwitch info;
    ParseCommandLine(argc, argv, info);
    return info.m_bCheck;
}

CSettingsCheck::CSettingsCheck(CSettingsPlace place) : m_place(std::move(place)) {}

std::vector<std::string> CSettingsCheck::Run() {
    Settings settings;
    Problems reports, problems;
    bool bKeyMissing = false;
    const bool bRead = ::LoadSettings(
        settings,
        [&](int nCode, const std::string& strText) {
            reports.push_back(LoadProblem(m_place.strHivePath, nCode, strText));
        },
        bKeyMissing, m_place);
    const std::string strFile = m_place.strFolder + "/" + kSettingsFileName;
    m_strSource = bRead && bKeyMissing ? strFile : m_place.strHivePath;
    if (!bRead && bKeyMissing) {
        problems.push_back(m_place.strHivePath + ": holds no settings key, and there is no " +
                           strFile + ": the gateway would run with defaults");
    } else {
        problems = reports;
    }
    if (bRead) {
        const Values values =
            bKeyMissing ? RecordTexts(settings) : ReadKeyTexts(m_place.strHivePath);
        CZoneHealth health;
        const std::shared_ptr<const CScreeningPolicy> pPolicy =
            CompileScreeningPolicy(settings, health, nullptr);
        CheckValues(values, {settings, *pPolicy}, problems);
        CheckLogFile(settings, problems);
        CheckNameservers(problems);
        CheckZoneHealth(*pPolicy, problems);
    }
    return Distinct(problems);
}

int RunSettingsCheck() {
    CSettingsCheck check;
    const std::vector<std::string> problems = check.Run();
    for (const std::string& strProblem : problems)
        std::fputs(JournalLines(STDERR_FILENO, kJournalError, strProblem + "\n").c_str(), stderr);
    if (problems.empty())
        std::printf("Tarnwick: the settings in %s hold no problem.\n", check.Source().c_str());
    else
        std::printf("Tarnwick: the settings in %s hold %zu problem%s.\n", check.Source().c_str(),
                    problems.size(), problems.size() == 1 ? "" : "s");
    std::fflush(stdout);
    return problems.empty() ? 0 : 1;
}
