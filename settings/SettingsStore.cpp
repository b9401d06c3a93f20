#include "settings/SettingsStore.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "platform/Registry.h"
#include "platform/System.h"

const char* const kSettingsKeyPath = "SOFTWARE\\Quenfield\\Tarnwick";
const char* const kEventSourceKeyPath =
    "System\\CurrentControlSet\\Services\\EventLog\\Application\\Tarnwick";
const char* const kSettingsFileName = "tarnwk.cfg";

namespace {
constexpr size_t kLineBuffer = 1024;

constexpr const char* kFileMissingText =
    "Error: Configuration File Not Found. Using Defaults. Filtering will not be enabled.";
constexpr const char* kAccessDeniedText =
    "Insufficient rights to open Tarnwick registry key!\nChange user rights of service user.\n";
constexpr const char* kOpenFailedText = "Unable to open Tarnwick registry key.";

using Entry = std::pair<std::string, std::int32_t>;  // text, active

// What a load found, applied to the record in one step under its lock.
struct CStagedSettings {
    bool bFromRegistry = false;
    std::optional<std::int32_t> PortIn, PortOut, EnableLogging;
    std::optional<std::string> MailServer, LogFileName;
    std::vector<Entry> servers, exclusions;  // in the order they are added
    // The values only a hive sets: only a read key gives them, and absent there they are off.
    std::optional<std::int32_t> MetricsPort, ConcurrentScreening;
    std::optional<std::string> MetricsAddress, ProxyFrom, MonitorFrom;
    std::optional<std::int32_t> DnsblThreshold, ZoneCheckMinutes, DnsblCacheSeconds;
    std::optional<std::int32_t> ListenV6, ProxyTo;
    std::optional<std::int32_t> GreetWait, GreetPassHours, ClientConnectionLimit,
        ClientConnectionRate, DeferOnDnsFailure;
    // Those of them the key holds in a form that cannot be read, by name.
    std::vector<std::string> unreadable;
    bool IsUnreadable(const char* pName) const {
        return std::find(unreadable.begin(), unreadable.end(), pName) != unreadable.end();
    }
};

// A list entry: "-" first disables it; the first character is dropped whatever it is.
Entry SplitMarker(const std::string& strValue) {
    const std::int32_t bActive = strValue.empty() || strValue[0] != '-' ? 1 : 0;
    return {strValue.empty() ? std::string() : strValue.substr(1), bActive};
}

void ReportOpenFailure(const SettingsReport& report, long nCode) {
    if (nCode == ERROR_ACCESS_DENIED)
        report(ERROR_ACCESS_DENIED, kAccessDeniedText);
    else
        report(static_cast<int>(nCode), kOpenFailedText);
}

// ---- registry ----

// A value as text, as the 100-byte read gives it: up to its first zero byte.
bool ReadText(const CRegistryKey& key, const std::string& strName, std::string& strText) {
    std::string data;
    if (key.QueryValue(strName, data, kSettingsValueBuffer) != ERROR_SUCCESS) return false;
    strText = data.substr(0, data.find('\0'));
    return true;
}

// A value only a hive sets, read whole, whatever its length: empty when absent; none when the
// key holds it as something other than a text, which is noted in staged.unreadable (the caller
// decides what that means, never "off" where off would let anyone in).
std::optional<std::string> ReadHiveOnlyText(const CRegistryKey& key, const char* pName,
                                            CStagedSettings& staged) {
    std::string data;
    std::uint32_t nType = REG_SZ;
    const long nResult = key.QueryValue(pName, data, SIZE_MAX, &nType);
    if (nResult == ERROR_FILE_NOT_FOUND) return std::string();
    if (nResult != ERROR_SUCCESS || nType != REG_SZ) {
        staged.unreadable.emplace_back(pName);
        return std::nullopt;
    }
    return data.substr(0, data.find('\0'));
}

// A hive-only number; absent or unreadable is 0, which switches it off.
std::int32_t ReadHiveOnlyNumber(const CRegistryKey& key, const char* pName,
                                CStagedSettings& staged) {
    return Atol(ReadHiveOnlyText(key, pName, staged).value_or(std::string()));
}

std::optional<std::string> ReadOptionalText(const CRegistryKey& key, const char* pName) {
    std::string strText;
    if (!ReadText(key, pName, strText)) return std::nullopt;
    return strText;
}

std::optional<std::int32_t> ReadNumber(const CRegistryKey& key, const char* pName) {
    std::string strText;
    if (!ReadText(key, pName, strText)) return std::nullopt;
    return Atol(strText);
}

// The entries "<prefix>0" .. "<prefix>(n-1)" that exist, in index order, n from the count value.
// Only the values the key holds are visited, so a huge count costs nothing.
std::vector<Entry> ReadEntries(const CRegistryKey& key, const char* pCountName,
                               const std::string& strPrefix) {
    std::vector<Entry> entries;
    const std::optional<std::int32_t> nCount = ReadNumber(key, pCountName);
    if (!nCount || *nCount < 1) return entries;
    std::vector<long> indices;
    for (const std::string& strName : key.ValueNames()) {
        const long nIndex = ListEntryIndex(strName, strPrefix);
        if (nIndex >= 0 && nIndex < *nCount) indices.push_back(nIndex);
    }
    std::sort(indices.begin(), indices.end());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
    for (long nIndex : indices) {
        std::string strValue;
        if (ReadText(key, strPrefix + std::to_string(nIndex), strValue))
            entries.push_back(SplitMarker(strValue));
    }
    return entries;
}

// The client defences: each is off absent or below 1; the wait is at most kMaxGreetWait
// seconds, and a pass is remembered kDefaultGreetPassHours when GreetPassHours is absent.
void ReadDefences(const CRegistryKey& key, CStagedSettings& staged) {
    const auto atLeastZero = [&](const char* pName) {
        return std::max<std::int32_t>(ReadHiveOnlyNumber(key, pName, staged), 0);
    };
    staged.GreetWait = std::min(atLeastZero("GreetWait"), Settings::kMaxGreetWait);
    const std::string strHours = ReadHiveOnlyText(key, "GreetPassHours", staged).value_or("");
    staged.GreetPassHours =
        strHours.empty() ? Settings::kDefaultGreetPassHours : std::max(Atol(strHours), 0);
    staged.ClientConnectionLimit = atLeastZero("ClientConnectionLimit");
    staged.ClientConnectionRate = atLeastZero("ClientConnectionRate");
    staged.DeferOnDnsFailure = ReadHiveOnlyNumber(key, "DeferOnDnsFailure", staged) != 0 ? 1 : 0;
}

void ReadRegistry(const CRegistryKey& key, CStagedSettings& staged) {
    staged.bFromRegistry = true;
    staged.PortIn = ReadNumber(key, "PortIn");
    staged.PortOut = ReadNumber(key, "PortOut");
    staged.MailServer = ReadOptionalText(key, "MailServer");
    staged.EnableLogging = ReadNumber(key, "EnableLogging");
    staged.LogFileName = ReadOptionalText(key, "LogFileName");
    staged.servers = ReadEntries(key, "DNSBL_Servers", "DNSBL_");
    staged.exclusions = ReadEntries(key, "Exclusions", "Exclusion_");
    staged.MetricsPort = ReadHiveOnlyNumber(key, "MetricsPort", staged);
    staged.MetricsAddress = ReadHiveOnlyText(key, "MetricsAddress", staged).value_or("");
    if (staged.MetricsAddress->empty()) staged.MetricsAddress = Settings::kDefaultMetricsAddress;
    staged.ConcurrentScreening =
        ReadHiveOnlyNumber(key, "ConcurrentScreening", staged) != 0 ? 1 : 0;
    // An address list that cannot be read leaves ProxyFrom as it was (none at start-up) and lets
    // nobody become a monitor (ApplyStaged).
    staged.ProxyFrom = ReadHiveOnlyText(key, "ProxyFrom", staged);
    staged.MonitorFrom = ReadHiveOnlyText(key, "MonitorFrom", staged);
    // Absent (or unreadable), the threshold is 1: a single listing rejects, as without it.
    staged.DnsblThreshold =
        std::max<std::int32_t>(ReadHiveOnlyNumber(key, "DnsblThreshold", staged), 1);
    staged.ZoneCheckMinutes = ReadHiveOnlyNumber(key, "ZoneCheckMinutes", staged);
    staged.DnsblCacheSeconds = ReadHiveOnlyNumber(key, "DnsblCacheSeconds", staged);
    staged.ListenV6 = ReadHiveOnlyNumber(key, "ListenV6", staged) != 0 ? 1 : 0;
    staged.ProxyTo = ReadHiveOnlyNumber(key, "ProxyTo", staged);
    ReadDefences(key, staged);
}

// ---- settings file ----

// One line as a 1024-byte fgets reads it (a longer line comes in pieces), trimmed.
bool ReadLine(FILE* pFile, std::string& strLine) {
    char buffer[kLineBuffer];
    if (std::fgets(buffer, sizeof buffer, pFile) == nullptr) return false;
    strLine = buffer;
    Trim(strLine);
    return true;
}

// "key=value": a value only when "=" stands after the first character.
std::optional<std::string> SettingValue(const std::string& strLine) {
    const size_t nEquals = strLine.find('=');
    if (nEquals == std::string::npos || nEquals == 0) return std::nullopt;
    return strLine.substr(nEquals + 1);
}

void ApplySettingLine(int nIndex, const std::string& strLine, CStagedSettings& staged) {
    std::optional<std::string> value = SettingValue(strLine);
    if (!value) return;
    if (nIndex == 0) staged.MailServer = Trim(*value);
    if (nIndex == 1) staged.PortOut = Atol(*value);
    if (nIndex == 2) staged.PortIn = Atol(*value);
}

// An optional "+" line, three setting lines (mail server, port out, port in), a heading, the
// DNSBL servers, then after "Exclusions:" the exclusions.
void ReadSettingsFile(FILE* pFile, CStagedSettings& staged) {
    std::string strLine;
    if (!ReadLine(pFile, strLine)) return;
    if (strLine == "+" && !ReadLine(pFile, strLine)) return;
    for (int nIndex = 0; nIndex < 3; ++nIndex) {
        if (nIndex > 0 && !ReadLine(pFile, strLine)) return;
        ApplySettingLine(nIndex, strLine, staged);
    }
    if (!ReadLine(pFile, strLine)) return;  // the servers' heading
    bool bExclusions = false;
    while (ReadLine(pFile, strLine)) {
        if (strLine.empty()) continue;
        if (!bExclusions && strLine == "Exclusions:") {
            bExclusions = true;
            continue;
        }
        (bExclusions ? staged.exclusions : staged.servers).push_back(SplitMarker(strLine));
    }
}

// The settings file, opened for reading only (it is never written, and may belong to another
// user), and only when it is a regular file: a FIFO or a device would stall the start-up.
FILE* OpenSettingsFile(const std::string& strPath) {
    const int fd = OpenRegularFile(strPath);
    if (fd < 0) return nullptr;
    FILE* pFile = fdopen(fd, "rb");
    if (pFile == nullptr) close(fd);
    return pFile;
}

// ---- applying ----

// The address lists' entries left out, and the values that could not be read, for a report
// made once the lock is released.
struct CInvalidEntries {
    std::vector<std::string> ProxyFrom, MonitorFrom;
    std::vector<std::string> unreadable;  // the texts of the report
};

// What a hive-only value that cannot be read comes to; "" for the numbers and MetricsAddress,
// which are then off or at their default.
std::string UnreadableOutcome(const std::string& strName, const Settings& settings) {
    if (strName == "MonitorFrom") return "no address may become a monitor.";
    if (strName != "ProxyFrom") return "it is taken as absent.";
    return settings.m_proxyFrom.empty() ? "no load balancer is trusted."
                                        : "the load balancers trusted so far stay trusted.";
}

// MonitorFrom unread lets nobody in: set, with no address.
void ApplyUnreadable(Settings& settings, const CStagedSettings& staged, CInvalidEntries& invalid) {
    for (const std::string& strName : staged.unreadable)
        invalid.unreadable.push_back(strName + " cannot be read (it is not a text value); " +
                                     UnreadableOutcome(strName, settings));
    if (!staged.IsUnreadable("MonitorFrom")) return;
    settings.MonitorFrom.clear();
    settings.m_monitorFrom.clear();
    settings.m_bMonitorFromSet = true;
}

CInvalidEntries ApplyStaged(Settings& settings, const CStagedSettings& staged,
                            const std::string& strFolder) {
    settings.m_nLastDnsblId = 0;
    settings.m_nLastExclusionId = 0;
    settings.ClearDnsblServers();
    settings.ClearExclusions();
    if (staged.PortIn) settings.PortIn = *staged.PortIn;
    if (staged.PortOut) settings.PortOut = *staged.PortOut;
    if (staged.MailServer) settings.MailServer = *staged.MailServer;
    if (staged.bFromRegistry) settings.RunAsService = 0;
    if (staged.EnableLogging) settings.EnableLogging = *staged.EnableLogging;
    if (staged.LogFileName) settings.LogFileName = *staged.LogFileName;
    if (staged.bFromRegistry && settings.LogFileName.empty())
        settings.LogFileName = strFolder + "/Tarnwk.log";
    for (const Entry& entry : staged.servers) settings.AddDnsblServer(entry.first, entry.second);
    for (const Entry& entry : staged.exclusions) settings.AddExclusion(entry.first, entry.second);
    if (staged.MetricsPort) settings.MetricsPort = *staged.MetricsPort;
    if (staged.MetricsAddress) settings.MetricsAddress = *staged.MetricsAddress;
    if (staged.ConcurrentScreening) settings.ConcurrentScreening = *staged.ConcurrentScreening;
    if (staged.DnsblThreshold) settings.DnsblThreshold = *staged.DnsblThreshold;
    if (staged.ZoneCheckMinutes) settings.ZoneCheckMinutes = *staged.ZoneCheckMinutes;
    if (staged.DnsblCacheSeconds) settings.DnsblCacheSeconds = *staged.DnsblCacheSeconds;
    if (staged.ListenV6) settings.ListenV6 = *staged.ListenV6;
    if (staged.ProxyTo) settings.ProxyTo = *staged.ProxyTo;
    if (staged.GreetWait) settings.GreetWait = *staged.GreetWait;
    if (staged.GreetPassHours) settings.GreetPassHours = *staged.GreetPassHours;
    if (staged.ClientConnectionLimit)
        settings.ClientConnectionLimit = *staged.ClientConnectionLimit;
    if (staged.ClientConnectionRate) settings.ClientConnectionRate = *staged.ClientConnectionRate;
    if (staged.DeferOnDnsFailure) settings.DeferOnDnsFailure = *staged.DeferOnDnsFailure;
    CInvalidEntries invalid;
    ApplyUnreadable(settings, staged, invalid);
    if (staged.ProxyFrom) invalid.ProxyFrom = settings.SetProxyFrom(*staged.ProxyFrom);
    if (staged.MonitorFrom) invalid.MonitorFrom = settings.SetMonitorFrom(*staged.MonitorFrom);
    return invalid;
}

void ReportInvalid(const SettingsReport& report, const CInvalidEntries& invalid) {
    const auto reportList = [&](const char* pName, const std::vector<std::string>& entries) {
        for (const std::string& strEntry : entries)  // each says what is wrong with it
            report(0, std::string(pName) + ": " + strEntry);
    };
    reportList("ProxyFrom", invalid.ProxyFrom);
    reportList("MonitorFrom", invalid.MonitorFrom);
    for (const std::string& strText : invalid.unreadable) report(0, strText);
}

// ---- saving ----

// The record as it stands; lists from the head.
struct CSnapshot {
    std::int32_t RunAsService, EnableLogging, PortIn, PortOut;
    std::string LogFileName, MailServer;
    std::vector<Entry> servers, exclusions;
};

CSnapshot TakeSnapshot(const Settings& settings) {
    CSnapshot snapshot{settings.RunAsService,
                       settings.EnableLogging,
                       settings.PortIn,
                       settings.PortOut,
                       settings.LogFileName,
                       settings.MailServer,
                       {},
                       {}};
    for (const CDnsblServer* p = settings.DNSBL_Servers; p; p = p->m_pNext)
        snapshot.servers.emplace_back(p->m_strName, p->m_bActive);
    for (const CExclusion* p = settings.Exclusions; p; p = p->m_pNext)
        snapshot.exclusions.emplace_back(p->m_strAddress, p->m_bActive);
    return snapshot;
}

std::string TooLongText(const std::string& strSetting) {
    return "Setting " + strSetting +
           " is longer than 99 characters and was not saved; the stored value is unchanged.";
}

// Writes a text value unless it is too long to be read back; then its name joins the report.
void WriteText(CRegistryKey& key, const std::string& strName, const std::string& strText,
               const std::string& strSetting, std::vector<std::string>& tooLong) {
    if (strText.size() >= kSettingsValueBuffer) {
        tooLong.push_back(strSetting);
        return;
    }
    key.SetValue(strName, strText);
}

void WriteNumber(CRegistryKey& key, const char* pName, std::int32_t nValue) {
    key.SetValue(pName, std::to_string(nValue));
}

// Entries with text, numbered from 0 without gaps, then the count.
void WriteEntries(CRegistryKey& key, const std::vector<Entry>& entries, const char* pCountName,
                  const std::string& strPrefix, const std::string& strKind,
                  std::vector<std::string>& tooLong) {
    std::int32_t k = 0;
    for (const Entry& entry : entries) {
        if (entry.first.empty()) continue;
        const std::string strValue = (entry.second ? "+" : "-") + entry.first;
        if (strValue.size() >= kSettingsValueBuffer) {
            tooLong.push_back(strKind + " \"" + entry.first.substr(0, 40) + "...\"");
            continue;
        }
        key.SetValue(strPrefix + std::to_string(k), strValue);
        ++k;
    }
    WriteNumber(key, pCountName, k);
}

bool SaveSettingsKey(const CSnapshot& snapshot, const CSettingsPlace& place,
                     const SettingsReport& report, std::vector<std::string>& tooLong) {
    CRegistryKey key(place.strHivePath);
    if (const long nResult = key.Create(kSettingsKeyPath)) {
        ReportOpenFailure(report, nResult);
        return false;
    }
    WriteNumber(key, "RunAsService", snapshot.RunAsService);
    WriteNumber(key, "EnableLogging", snapshot.EnableLogging);
    WriteText(key, "LogFileName", snapshot.LogFileName, "LogFileName", tooLong);
    WriteNumber(key, "PortIn", snapshot.PortIn);
    WriteNumber(key, "PortOut", snapshot.PortOut);
    WriteText(key, "MailServer", snapshot.MailServer, "MailServer", tooLong);
    WriteEntries(key, snapshot.servers, "DNSBL_Servers", "DNSBL_", "DNSBL server", tooLong);
    WriteEntries(key, snapshot.exclusions, "Exclusions", "Exclusion_", "exclusion", tooLong);
    // The values reach the hive together here; a failure leaves the hive as it was.
    if (const long nResult = key.Close()) {
        ReportOpenFailure(report, nResult);
        return false;
    }
    return true;
}

void SaveEventSourceKey(const CSettingsPlace& place, const SettingsReport& report,
                        std::vector<std::string>& tooLong) {
    CRegistryKey key(place.strHivePath);
    if (const long nResult = key.Create(kEventSourceKeyPath)) {
        ReportOpenFailure(report, nResult);
        return;
    }
    WriteText(key, "EventMessageFile", place.strFolder + "/tarnwkmsg.dll", "EventMessageFile",
              tooLong);
    key.SetValue("TypesSupported", std::uint32_t{7});
    if (const long nResult = key.Close()) ReportOpenFailure(report, nResult);
}
}  // namespace

CSettingsPlace DefaultSettingsPlace() { return {RegistryHivePath(), CurrentDirectory()}; }

long ListEntryIndex(const std::string& strName, const std::string& strPrefix) {
    if (strName.size() <= strPrefix.size() || strName.size() > strPrefix.size() + 10) return -1;
    if (strncasecmp(strName.c_str(), strPrefix.c_str(), strPrefix.size()) != 0) return -1;
    const std::string strDigits = strName.substr(strPrefix.size());
    if (strDigits.find_first_not_of("0123456789") != std::string::npos) return -1;
    if (strDigits.size() > 1 && strDigits[0] == '0') return -1;
    return std::atol(strDigits.c_str());
}

bool LoadSettings(Settings& settings, const SettingsReport& report, bool& bKeyMissing,
                  const CSettingsPlace& place, LoadFailure onFailure) {
    CStagedSettings staged;
    CRegistryKey key(place.strHivePath);
    const long nResult = key.Open(kSettingsKeyPath);
    if (nResult == ERROR_SUCCESS) {
        ReadRegistry(key, staged);
        key.Close();
        ReportInvalid(report, ApplyStaged(settings, staged, place.strFolder));
        return true;
    }
    const bool bClear = onFailure == LoadFailure::ClearLists;
    if (nResult != ERROR_FILE_NOT_FOUND) {
        if (bClear) ApplyStaged(settings, staged, place.strFolder);
        ReportOpenFailure(report, nResult);
        return false;
    }
    bKeyMissing = true;
    FILE* pFile = OpenSettingsFile(place.strFolder + "/" + kSettingsFileName);
    if (pFile == nullptr) {
        if (bClear) ApplyStaged(settings, staged, place.strFolder);
        report(0, kFileMissingText);
        return false;
    }
    LoadSettingsFile(pFile, settings);
    std::fclose(pFile);
    return true;
}

void LoadSettingsFile(std::FILE* pFile, Settings& settings) {
    CStagedSettings staged;
    ReadSettingsFile(pFile, staged);
    ApplyStaged(settings, staged, std::string());
}

bool SaveSettings(const Settings& settings, const SettingsReport& report,
                  const CSettingsPlace& place) {
    const CSnapshot snapshot = TakeSnapshot(settings);
    std::vector<std::string> tooLong;
    const bool bSaved = SaveSettingsKey(snapshot, place, report, tooLong);
    if (bSaved) SaveEventSourceKey(place, report, tooLong);
    for (const std::string& strSetting : tooLong) report(0, TooLongText(strSetting));
    return bSaved;
}
