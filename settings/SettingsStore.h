// Storage of the settings record: the registry key "SOFTWARE\Quenfield\Tarnwick" (every value a
// string; numbers as decimal text), or, while that key does not exist, the settings file
// "tarnwk.cfg" in the working folder, which is only ever read. The save also registers the
// program as an event-log source (key "System\CurrentControlSet\Services\EventLog\Application
// \Tarnwick").
//
// Called on the UI thread (start-up, reconfiguration) with a record the caller owns: the listener
// thread never sees it, only a configuration published from it afterwards. Failures go to the
// caller's report function (code, text), which is the application's ReportError: this library
// cannot reach the logging layer itself.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

#include "settings/Settings.h"

using SettingsReport = std::function<void(int nCode, const std::string& strText)>;

// Where the settings live: the registry hive, and the working folder that holds "tarnwk.cfg"
// and gives the default log file and the event message file their folder.
struct CSettingsPlace {
    std::string strHivePath;
    std::string strFolder;
};

// The hive of this process and the current directory.
CSettingsPlace DefaultSettingsPlace();

extern const char* const kSettingsKeyPath;
extern const char* const kEventSourceKeyPath;
extern const char* const kSettingsFileName;

// Every value the dialog writes is read through a buffer of this size, so a text may hold 99
// characters. The values only a hive sets are read whole.
constexpr size_t kSettingsValueBuffer = 100;

// What a load that finds neither the key nor the settings file does to the record: empty both
// lists (start-up and the configuration dialog's reload), or leave the record as it is, so
// that a running gateway goes on screening with the settings in use (a reload on request).
enum class LoadFailure { ClearLists, KeepSettings };

// Fills the record from the key, or from the settings file when the key does not exist (then
// bKeyMissing is set; it is never cleared here). Both lists are emptied first, whatever follows,
// unless the load fails and onFailure says to keep them. A read key also gives the metrics
// values; absent there, metrics are off (MetricsPort 0, MetricsAddress 127.0.0.1).
// True when the key or the file was read; failures are reported and give false.
bool LoadSettings(Settings& settings, const SettingsReport& report, bool& bKeyMissing,
                  const CSettingsPlace& place = DefaultSettingsPlace(),
                  LoadFailure onFailure = LoadFailure::ClearLists);

// The index of a list entry's value name "<prefix><i>" (the prefix in any letter case) as "%d"
// writes it: no sign, no leading zero, at most 10 digits; -1 for any other name. The load reads
// the entries by it.
long ListEntryIndex(const std::string& strName, const std::string& strPrefix);

// Fills the record from an open settings file, as LoadSettings does while the key is missing:
// both lists are rebuilt from the file; the fields it does not give keep their values.
void LoadSettingsFile(std::FILE* pFile, Settings& settings);

// Writes the record to the key, then the event-log source key. Values of the key that the
// record does not write (the metrics values among them) stay as the hive holds them. A key that
// cannot be made or written is reported and ends the save. A text longer than 99 characters (a
// value is read back through a 100-byte buffer) is not written: the stored value stays, and the
// report names it. True when the settings key was written (a too-long text left out still counts as
// written).
bool SaveSettings(const Settings& settings, const SettingsReport& report,
                  const CSettingsPlace& place = DefaultSettingsPlace());
