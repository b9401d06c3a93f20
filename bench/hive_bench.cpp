// Settings load benchmark: prints, for hives of growing size, the seconds a settings load takes
// (read, parse, fill both lists) and the growth of the process's peak memory, then the same for
// a hive at the size limit packed with the smallest values, for a hive over the limit and for
// /dev/zero as the hive; the last two must be refused at once. Then the seconds "tarnwk CHECK"
// takes on hives full of problems (the service runs it before every start and reload, inside
// systemd's start limit): 100,000 zone entries that do not read, one ProxyFrom of 80,000 entries
// that are not addresses (each named by the load and by the check: the same line twice).
// Usage: hive_bench [largest number of values, default 100000]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/SettingsCheck.h"
#include "platform/RegistryHive.h"
#include "settings/SettingsStore.h"
#include "tests/support/TempDir.h"

namespace {
using Clock = std::chrono::steady_clock;

long PeakKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

const std::string kKeyHeader = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenfield\\Tarnwick]\n";

// A hive whose settings key lists nValues DNSBL zones.
std::string HiveText(long nValues) {
    std::string strText = kKeyHeader;
    strText += "\"DNSBL_Servers\"=\"" + std::to_string(nValues) + "\"\n";
    for (long i = 0; i < nValues; ++i)
        strText += "\"DNSBL_" + std::to_string(i) + "\"=\"+zone" + std::to_string(i) + ".test\"\n";
    return strText;
}

// Loads the settings from strHive; prints the seconds, the memory growth and what came of it.
void TimeLoad(const char* pWhat, const std::string& strHive, const std::string& strFolder) {
    Settings settings;
    bool bKeyMissing = false;
    int nCode = 0;
    const long nPeakBefore = PeakKilobytes();
    const Clock::time_point start = Clock::now();
    const bool bLoaded =
        LoadSettings(settings, [&](int nReported, const std::string&) { nCode = nReported; },
                     bKeyMissing, {strHive, strFolder});
    const double dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    long nZones = 0;
    for (const CDnsblServer* p = settings.DNSBL_Servers; p; p = p->m_pNext) ++nZones;
    std::printf("%-28s %10.3f s %10ld KiB %10ld zones %8s (code %d)\n", pWhat, dSeconds,
                PeakKilobytes() - nPeakBefore, nZones, bLoaded ? "loaded" : "refused", nCode);
    std::fflush(stdout);
}

// Runs the settings check on strHive; prints the seconds and the number of problems.
void TimeCheck(const char* pWhat, const std::string& strHive, const std::string& strFolder) {
    CSettingsCheck check({strHive, strFolder});
    const Clock::time_point start = Clock::now();
    const size_t nProblems = check.Run().size();
    const double dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%-40s %10.3f s %10zu problems\n", pWhat, dSeconds, nProblems);
    std::fflush(stdout);
}

// A hive with a mail server and nEntries zone entries that do not read ("+bad zone 7").
std::string BadZonesHive(long nEntries) {
    std::string strText = kKeyHeader + "\"MailServer\"=\"127.0.0.1\"\n";
    strText += "\"DNSBL_Servers\"=\"" + std::to_string(nEntries) + "\"\n";
    for (long i = 0; i < nEntries; ++i)
        strText += "\"DNSBL_" + std::to_string(i) + "\"=\"+bad zone " + std::to_string(i) + "\"\n";
    return strText;
}

// A hive with a mail server and one ProxyFrom of nEntries entries that are not addresses.
std::string BadProxyFromHive(long nEntries) {
    std::string strText = kKeyHeader + "\"MailServer\"=\"127.0.0.1\"\n\"ProxyFrom\"=\"";
    for (long i = 0; i < nEntries; ++i) strText += (i > 0 ? "," : "") + ("lb" + std::to_string(i));
    return strText + "\"\n";
}
}  // namespace

int main(int argc, char** argv) {
    const long nLargest = argc > 1 ? std::atol(argv[1]) : 100000;
    CTempDir dir;
    std::printf("%-28s %12s %14s %16s\n", "hive", "load time", "peak growth", "result");
    for (long nValues = 1000; nValues <= nLargest; nValues *= 10) {
        WriteFileBytes(dir.File("registry.reg"), HiveText(nValues));
        TimeLoad((std::to_string(nValues) + " values").c_str(), dir.File("registry.reg"),
                 dir.Path());
    }
    // The most values a hive within the limit can hold: the cost of the worst hive still read.
    std::string strSmallest = HiveText(0);
    for (long i = 0; strSmallest.size() < kMaxHiveBytes - 32; ++i)
        strSmallest += "\"" + std::to_string(i) + "\"=\"\"\n";
    WriteFileBytes(dir.File("smallest.reg"), strSmallest);
    TimeLoad("16 MiB of the smallest values", dir.File("smallest.reg"), dir.Path());
    WriteFileBytes(dir.File("large.reg"), HiveText(0) + std::string(17 << 20, ';'));
    TimeLoad("17 MiB hive", dir.File("large.reg"), dir.Path());
    TimeLoad("/dev/zero as the hive", "/dev/zero", dir.Path());

    std::printf("\n%-40s %12s %18s\n", "hive", "check time", "result");
    setenv("TARNWICK_CHECK_ZONES", "0", 1);  // as the service runs it: no DNS
    WriteFileBytes(dir.File("zones.reg"), BadZonesHive(100000));
    TimeCheck("100000 zone entries that do not read", dir.File("zones.reg"), dir.Path());
    WriteFileBytes(dir.File("proxyfrom.reg"), BadProxyFromHive(80000));
    TimeCheck("ProxyFrom of 80000 entries, none an address", dir.File("proxyfrom.reg"), dir.Path());
    return 0;
}
