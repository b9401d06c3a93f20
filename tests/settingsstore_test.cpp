#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Registry.h"
#include "settings/SettingsStore.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace {
using Reports = std::vector<std::pair<int, std::string>>;
using Entries = std::vector<std::tuple<std::int32_t, std::string, std::int32_t>>;  // id, text, on

const std::string kKeyHeader = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenfield\\Tarnwick]\n";
const std::string kAccessDenied =
    "Insufficient rights to open Tarnwick registry key!\nChange user rights of service user.\n";
const std::string kOpenFailed = "Unable to open Tarnwick registry key.";
const std::string kFileMissing =
    "Error: Configuration File Not Found. Using Defaults. Filtering will not be enabled.";

struct CStoreFixture : ::testing::Test {
    CTempDir dir;
    CSettingsPlace place{dir.File("registry.reg"), dir.Path()};
    Settings settings;
    Reports reports;
    bool bKeyMissing = false;
    SettingsReport report = [this](int nCode, const std::string& strText) {
        reports.emplace_back(nCode, strText);
    };

    bool Load() { return LoadSettings(settings, report, bKeyMissing, place); }
    void Save() { SaveSettings(settings, report, place); }
    void WriteKey(const std::string& strValues) {
        WriteFileBytes(place.strHivePath, kKeyHeader + strValues);
    }
    // The key's values in the hive's order, "name=data" each.
    std::vector<std::string> Stored(const char* pKey = kSettingsKeyPath) {
        CRegistryKey key(place.strHivePath);
        std::vector<std::string> values;
        key.Open(pKey);
        for (const std::string& strName : key.ValueNames()) {
            std::string strData;
            key.QueryValue(strName, strData, 1000);
            values.push_back(strName + "=" + strData);
        }
        return values;
    }
    // A list from its head: identifier, text, active.
    template <class T>
    static Entries ListOf(const T* p, std::string T::*pText) {
        Entries entries;
        for (; p; p = p->m_pNext) entries.emplace_back(p->m_nId, p->*pText, p->m_bActive);
        return entries;
    }
    Entries Servers() {
        return ListOf<CDnsblServer>(settings.DNSBL_Servers, &CDnsblServer::m_strName);
    }
    Entries Exclusions() {
        return ListOf<CExclusion>(settings.Exclusions, &CExclusion::m_strAddress);
    }
};

// The extra texts, then truncations and one-bit flips of a good file, every third byte.
std::vector<std::string> Mangled(const std::string& strGood, std::vector<std::string> texts) {
    for (size_t n = 0; n < strGood.size(); n += 3) {
        texts.push_back(strGood.substr(0, n));
        texts.push_back(strGood);
        texts.back()[n] ^= static_cast<char>(1 << n % 8);
    }
    return texts;
}

// Puts in a file's place a FIFO (kind 0), a link to /dev/zero (1) or a folder (2).
bool MakeSpecialFile(const std::string& strPath, int nKind) {
    std::remove(strPath.c_str());
    if (nKind == 0) return mkfifo(strPath.c_str(), 0600) == 0;
    if (nKind == 1) return symlink("/dev/zero", strPath.c_str()) == 0;
    return mkdir(strPath.c_str(), 0700) == 0;
}
}  // namespace

TEST_F(CStoreFixture, ListEntriesFollowMarkersCountsAndGaps) {
    WriteKey(
        "\"DNSBL_Servers\"=\"3\"\n\"DNSBL_0\"=\"+zoneone\"\n\"DNSBL_1\"=\"-zonetwo\"\n"
        "\"DNSBL_2\"=\"+\"\n\"DNSBL_3\"=\"+beyondcount\"\n"
        "\"Exclusions\"=\"5\"\n\"Exclusion_0\"=\"zoneone\"\n\"Exclusion_3\"=\"+\"\n"
        "\"Exclusion_03\"=\"+not an index\"\n\"Exclusion_4\"=\"-10.0.0.4\"\n");
    settings.AddDnsblServer("stale", 1);  // a load always starts from empty lists
    ASSERT_TRUE(Load());
    EXPECT_FALSE(bKeyMissing);
    EXPECT_EQ(Servers(), (Entries{{2, "zonetwo", 0}, {1, "zoneone", 1}}));
    // A marker alone adds no DNSBL server but an empty (removed) exclusion; index 0 without a
    // marker loses its first character.
    EXPECT_EQ(Exclusions(), (Entries{{3, "10.0.0.4", 0}, {2, "", 1}, {1, "oneone", 1}}));

    // A missing count or one below 1 loads no entries at all.
    WriteKey("\"DNSBL_0\"=\"+zoneone\"\n\"Exclusion_0\"=\"+10.0.0.1\"\n\"Exclusions\"=\"0\"\n");
    ASSERT_TRUE(Load());
    EXPECT_TRUE(Servers().empty());
    EXPECT_TRUE(Exclusions().empty());
    EXPECT_TRUE(reports.empty());
}

TEST_F(CStoreFixture, NumbersReadLikeAtolAndUnreadableValuesKeepTheField) {
    settings.PortOut = 587;
    settings.MailServer = "previous";
    settings.EnableLogging = 1;
    WriteKey("\"PortIn\"=\" 2525x\"\n\"EnableLogging\"=dword:00000001\n\"MailServer\"=\"" +
             std::string(100, 'm') + "\"\n\"RunAsService\"=\"1\"\n");
    settings.RunAsService = 1;
    ASSERT_TRUE(Load());
    EXPECT_EQ(settings.PortIn, 2525);
    EXPECT_EQ(settings.PortOut, 587);            // missing
    EXPECT_EQ(settings.MailServer, "previous");  // 100 characters do not fit the buffer
    EXPECT_EQ(settings.EnableLogging, 0);        // the type is not examined: "\x01" reads as 0
    EXPECT_EQ(settings.RunAsService, 0);         // never read from the key
    EXPECT_EQ(settings.LogFileName, dir.Path() + "/Tarnwk.log");

    WriteKey("\"PortIn\"=\"abc\"\n\"PortOut\"=\"-26\"\n\"LogFileName\"=\"\"\n\"MailServer\"=\"" +
             std::string(99, 'm') +
             "\"\n\"EnableLogging\"=\"4294967297\"\n"
             "\"DNSBL_Servers\"=\"-4294967295\"\n\"DNSBL_0\"=\"+zone\"\n");
    settings.LogFileName = "/var/log/kept-only-when-the-key-says-so.log";
    ASSERT_TRUE(Load());
    EXPECT_EQ(settings.PortIn, 0);
    EXPECT_EQ(settings.PortOut, -26);
    // Beyond the 32-bit range: the nearest limit, never the low bits (1 for both values here).
    EXPECT_EQ(settings.EnableLogging, INT32_MAX);
    EXPECT_TRUE(Servers().empty());
    EXPECT_EQ(settings.MailServer, std::string(99, 'm'));
    EXPECT_EQ(settings.LogFileName, dir.Path() + "/Tarnwk.log");
}

TEST_F(CStoreFixture, SaveWritesInOrderNumbersWithoutGapsAndLoadReversesTheLists) {
    settings.AddDnsblServer("zoneone", 1);
    settings.AddDnsblServer("removed", 1);
    settings.AddDnsblServer("zonetwo", 0);
    settings.AddDnsblServer("zonethree", 1);
    settings.FindDnsblServer(2)->m_strName.clear();  // removed in the dialog
    settings.AddExclusion("10.0.0.1", 0);
    settings.PortIn = 2525;
    settings.MailServer = "mail.example.org";
    settings.LogFileName = "/var/log/tarnwk.log";
    WriteKey("\"DNSBL_3\"=\"+leftover\"\n\"DNSBL_Servers\"=\"4\"\n");
    Save();
    EXPECT_TRUE(reports.empty());

    // Removed entries leave no gap; values beyond the new count stay, unread.
    EXPECT_EQ(Stored(),
              (std::vector<std::string>{
                  "DNSBL_3=+leftover", "DNSBL_Servers=3", "RunAsService=0", "EnableLogging=0",
                  "LogFileName=/var/log/tarnwk.log", "PortIn=2525", "PortOut=25",
                  "MailServer=mail.example.org", "DNSBL_0=+zonethree", "DNSBL_1=-zonetwo",
                  "DNSBL_2=+zoneone", "Exclusion_0=-10.0.0.1", "Exclusions=1"}));
    EXPECT_EQ(Stored(kEventSourceKeyPath),
              (std::vector<std::string>{"EventMessageFile=" + dir.Path() + "/tarnwkmsg.dll",
                                        "TypesSupported=" + std::string("\x07\0\0\0", 4)}));

    ASSERT_TRUE(Load());
    EXPECT_EQ(Servers(), (Entries{{3, "zoneone", 1}, {2, "zonetwo", 0}, {1, "zonethree", 1}}));
    EXPECT_EQ(settings.MailServer, "mail.example.org");
    EXPECT_EQ(settings.LogFileName, "/var/log/tarnwk.log");
}

TEST_F(CStoreFixture, TextsTooLongToReadBackAreNotStoredAndAreNamed) {
    settings.MailServer = "old.example.org";
    Save();
    settings.MailServer = std::string(100, 'm');
    settings.LogFileName = std::string(99, 'l');
    settings.AddDnsblServer(std::string(99, 'z'), 1);  // with its marker: 100 characters
    settings.AddDnsblServer("fits.example.org", 1);
    reports.clear();
    Save();
    EXPECT_EQ(Stored(),
              (std::vector<std::string>{
                  "RunAsService=0", "EnableLogging=0", "LogFileName=" + std::string(99, 'l'),
                  "PortIn=25", "PortOut=25", "MailServer=old.example.org", "DNSBL_Servers=1",
                  "Exclusions=0", "DNSBL_0=+fits.example.org"}));
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].first, 0);
    EXPECT_NE(reports[0].second.find("MailServer"), std::string::npos);
    EXPECT_NE(reports[1].second.find("DNSBL server \"zzz"), std::string::npos);
}

TEST_F(CStoreFixture, SettingsFileIsReadOnlyWhenTheKeyIsMissingAndItsAbsenceIsReported) {
    WriteFileBytes(dir.File("tarnwk.cfg"),
                   "+\nx=mail.example.org \nP=26\nq=2525\nservers\n+zoneone\n\n-zonetwo\r\n"
                   "Exclusions:\n+ 10.0.0.1\n\n");
    settings.LogFileName = "";
    ASSERT_TRUE(Load());
    EXPECT_TRUE(bKeyMissing);
    EXPECT_EQ(settings.MailServer, "mail.example.org");
    EXPECT_EQ(settings.PortOut, 26);
    EXPECT_EQ(settings.PortIn, 2525);
    EXPECT_EQ(settings.LogFileName, "");  // the file has no log name, and no default is made
    EXPECT_EQ(Servers(), (Entries{{2, "zonetwo", 0}, {1, "zoneone", 1}}));
    EXPECT_EQ(Exclusions(), (Entries{{1, " 10.0.0.1", 1}}));  // not trimmed after the marker

    // No "+" line, "=" in the first position gives nothing, no "Exclusions:" heading.
    settings.PortIn = 25;
    WriteFileBytes(dir.File("tarnwk.cfg"),
                   "server=relay\n=25\nport=x2\nheading\n+one\n-10.0.0.1\nexclusions:\n");
    ASSERT_TRUE(Load());
    EXPECT_EQ(settings.MailServer, "relay");
    EXPECT_EQ(settings.PortOut, 26);
    EXPECT_EQ(settings.PortIn, 0);
    EXPECT_EQ(Servers(), (Entries{{3, "xclusions:", 1}, {2, "10.0.0.1", 0}, {1, "one", 1}}));
    EXPECT_TRUE(Exclusions().empty());

    // A line over 1023 characters is read as two lines.
    WriteFileBytes(dir.File("tarnwk.cfg"),
                   "a=" + std::string(1021, 'm') + "=7\nb=8\nc=9\nheading\n+zone\n");
    ASSERT_TRUE(Load());
    EXPECT_EQ(settings.MailServer, std::string(1021, 'm'));
    EXPECT_EQ(settings.PortOut, 26);  // the second piece, "=7", has "=" first: no value
    EXPECT_EQ(settings.PortIn, 8);
    // "c=9" was the heading, so "heading" is a server line.
    EXPECT_EQ(Servers(), (Entries{{2, "zone", 1}, {1, "eading", 1}}));

    WriteKey("\"PortIn\"=\"2626\"\n");  // with the key present, the file is ignored
    bKeyMissing = false;
    ASSERT_TRUE(Load());
    EXPECT_FALSE(bKeyMissing);
    EXPECT_TRUE(Servers().empty());
    EXPECT_EQ(settings.PortIn, 2626);
    EXPECT_TRUE(reports.empty());

    // Neither key nor file: reported with code 0, the lists empty, the other fields kept.
    std::remove(place.strHivePath.c_str());
    std::remove(dir.File("tarnwk.cfg").c_str());
    settings.AddDnsblServer("zone", 1);
    EXPECT_FALSE(Load());
    EXPECT_TRUE(bKeyMissing);
    EXPECT_TRUE(Servers().empty());
    EXPECT_EQ(settings.PortIn, 2626);
    EXPECT_EQ(reports, (Reports{{0, kFileMissing}}));
}

// A hive that does not parse or cannot be read: the load and the save report it, the settings
// file is not read (this is no first run), and the hive is never replaced.
TEST_F(CStoreFixture, HiveThatCannotBeReadIsReportedAndNeverReplaced) {
    const std::string strBroken = kKeyHeader + "\"PortIn\"=\"25\n";
    WriteFileBytes(place.strHivePath, strBroken);
    WriteFileBytes(dir.File("tarnwk.cfg"), "+\nx=y\np=26\n");
    settings.AddDnsblServer("zone", 1);
    EXPECT_FALSE(Load());
    EXPECT_FALSE(bKeyMissing);
    EXPECT_EQ(settings.PortOut, 25);
    EXPECT_TRUE(Servers().empty());
    Save();
    EXPECT_EQ(ReadFileBytes(place.strHivePath), strBroken);
    EXPECT_EQ(reports, (Reports{{1009, kOpenFailed}, {1009, kOpenFailed}}));

    // Unreadable: in a child without root's rights, as the hive's folder is private to its owner.
    WriteKey("\"PortIn\"=\"2525\"\n");
    reports.clear();
    EXPECT_EQ(RunInChild(
                  [&] {
                      if (geteuid() != 0) chmod(place.strHivePath.c_str(), 0);
                      if (Load() || bKeyMissing || settings.PortIn != 25 || settings.PortOut != 25)
                          return 1;
                      Save();
                      return reports == Reports{{5, kAccessDenied}, {5, kAccessDenied}} ? 0 : 2;
                  },
                  true),
              0);
    chmod(place.strHivePath.c_str(), 0600);  // the child took an ordinary user's rights away
    EXPECT_EQ(ReadFileBytes(place.strHivePath), kKeyHeader + "\"PortIn\"=\"2525\"\n");
}

// Hostile hives: mangled ones (truncated, bits flipped, a huge line, an escape that eats the
// closing quote, invalid UTF-8) are read or reported as not parsing; a file over the size limit,
// a FIFO, /dev/zero or a folder is refused at once. A hive refused is never replaced by a save.
TEST_F(CStoreFixture, HostileHivesAreReadOrRefusedAndNeverReplaced) {
    settings.AddDnsblServer("zone.example", 1);
    Save();
    std::string strAtLimit = kKeyHeader + "\"PortIn\"=\"2525\"\n;";
    strAtLimit.resize(kMaxHiveBytes, ' ');
    const auto Refused = [&] {
        reports.clear();
        bKeyMissing = false;
        if (Load() || bKeyMissing) return false;  // read, or parsed without the key
        Save();
        EXPECT_EQ(reports, (Reports{{1009, kOpenFailed}, {1009, kOpenFailed}}));
        return true;
    };
    int nRefused = 0;
    for (const std::string& strHive :
         Mangled(ReadFileBytes(place.strHivePath),
                 {kKeyHeader + "\"MailServer\"=\"" + std::string(1 << 20, 'm') + "\"\n",
                  kKeyHeader + "\"MailServer\"=\"a\\\"\n",
                  kKeyHeader + "\"MailServer\"=\"\xc3\x28\xff\"\n", strAtLimit + " "})) {
        WriteFileBytes(place.strHivePath, strHive);
        if (!Refused()) continue;
        ++nRefused;
        EXPECT_EQ(ReadFileBytes(place.strHivePath), strHive);
    }
    EXPECT_GT(nRefused, 0);
    for (int nKind = 0; nKind < 3; ++nKind) {
        ASSERT_TRUE(MakeSpecialFile(place.strHivePath, nKind));
        EXPECT_TRUE(Refused()) << nKind;
        struct stat info {};
        EXPECT_TRUE(lstat(place.strHivePath.c_str(), &info) == 0 && !S_ISREG(info.st_mode));
    }
    std::remove(place.strHivePath.c_str());
    WriteFileBytes(place.strHivePath, strAtLimit);
    EXPECT_TRUE(Load());
    EXPECT_EQ(settings.PortIn, 2525);
}

// The settings file is opened for reading only, so one this user may only read is read; any
// bytes in it load; a FIFO, /dev/zero or a folder in its place counts as missing, at once.
TEST_F(CStoreFixture, SettingsFileIsOpenedForReadingOnlyAndOnlyAsARegularFile) {
    const std::string strFile = dir.File("tarnwk.cfg");
    const std::string strGood =
        "+\nx=relay\np=26\nq=2525\nservers\n+zone\nExclusions:\n+10.0.0.1\n";
    for (const std::string& strContent :
         Mangled(strGood, {std::string(1 << 20, 'z'), std::string("+\n\xff\xfe\0\n=\n\n", 9)})) {
        WriteFileBytes(strFile, strContent);
        EXPECT_TRUE(Load());
    }
    WriteFileBytes(strFile, strGood);
    chmod(strFile.c_str(), 0444);
    chmod(dir.Path().c_str(), 0755);  // for the unprivileged child
    EXPECT_EQ(
        RunInChild([&] { return Load() && settings.PortIn == 2525 && reports.empty() ? 0 : 1; },
                   true),
        0);
    EXPECT_TRUE(reports.empty());
    for (int nKind = 0; nKind < 3; ++nKind) {
        ASSERT_TRUE(MakeSpecialFile(strFile, nKind));
        EXPECT_FALSE(Load());
    }
    EXPECT_EQ(reports, (Reports(3, {0, kFileMissing})));
}

// A save killed at any moment leaves the whole old settings or the whole new ones.
TEST_F(CStoreFixture, SaveKilledAtRandomMomentsLeavesOldOrNewSettings) {
    std::mt19937 random(std::random_device{}());
    Save();
    for (int nRound = 0; nRound < 40; ++nRound) {
        const pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0;; ++i) {
                Settings variant;
                variant.PortIn = 1000 + i % 2;
                variant.MailServer = i % 2 ? "odd.example.org" : "even.example.org";
                for (int n = 0; n < 20 + i % 2 * 10; ++n)
                    variant.AddDnsblServer("zone" + std::to_string(n) + ".example.org", 1);
                SaveSettings(
                    variant, [](int, const std::string&) { _exit(3); }, place);
            }
        }
        usleep(std::uniform_int_distribution<int>(200, 30000)(random));
        kill(pid, SIGKILL);
        int nStatus = 0;
        ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(nStatus));  // not ended by a report
        reports.clear();
        ASSERT_TRUE(Load()) << reports[0].second;
        const bool bOdd = settings.PortIn == 1001;
        if (settings.PortIn == 25) continue;  // killed before the first save ended
        EXPECT_EQ(settings.MailServer, bOdd ? "odd.example.org" : "even.example.org");
        EXPECT_EQ(Servers().size(), bOdd ? 30u : 20u);
    }
}

// The listener thread walks the lists under the lock while a reload rebuilds them: it sees the
// whole old list or the whole new one, never a half-built one.
// What the listener reads is a copy taken before a reload (a published configuration's): the
// reloads of the record that follow, entry by entry, never reach it (a copy that shared its
// entries would be read while they are freed, which the sanitizer builds catch).
TEST_F(CStoreFixture, ACopyTakenBeforeReloadsStaysWhole) {
    for (int n = 0; n < 10; ++n) settings.AddDnsblServer("zone" + std::to_string(n), 1);
    Save();
    const Settings published = settings;
    std::atomic<bool> bDone{false};
    std::atomic<int> nTorn{0};
    std::thread reader([&] {
        while (!bDone) {
            int nCount = 0;
            for (CDnsblServer* p = published.DNSBL_Servers; p; p = p->m_pNext)
                nCount += p->m_strName.rfind("zone", 0) == 0 ? 1 : 0;
            if (nCount != 10) ++nTorn;
        }
    });
    for (int i = 0; i < 200; ++i) Load();
    bDone = true;
    reader.join();
    EXPECT_EQ(nTorn, 0);
    EXPECT_EQ(Servers().size(), 10u);
}

// The metrics values are read from the key and a save leaves them as the hive holds them. A
// reload that can read neither the key nor the settings file keeps every setting.
TEST_F(CStoreFixture, MetricsValuesSurviveSavesAndAFailedReloadKeepsTheSettings) {
    WriteKey(
        "\"MetricsPort\"=\"9101\"\n\"MetricsAddress\"=\"127.0.0.9\"\n\"DNSBL_0\"=\"+bl.test\"\n"
        "\"DNSBL_Servers\"=\"1\"\n");
    ASSERT_TRUE(Load());
    Save();
    settings.MetricsPort = 0;
    ASSERT_TRUE(Load());
    std::remove(place.strHivePath.c_str());
    EXPECT_FALSE(LoadSettings(settings, report, bKeyMissing, place, LoadFailure::KeepSettings));
    EXPECT_EQ(reports, (Reports{{0, kFileMissing}}));
    EXPECT_EQ(Servers().size(), 1u);
    EXPECT_EQ(settings.MetricsPort, 9101);
    EXPECT_EQ(settings.MetricsAddress, "127.0.0.9");
}

// MonitorFrom is read from the hive with its bad entries reported, kept by every save (the
// dialog's saves never write it), and absent or empty lets anyone in.
TEST_F(CStoreFixture, MonitorFromIsReadReportedAndKeptBySaves) {
    const std::string strList = "127.0.0.5, 10.1.2.3,,mon.example.org ,10.1.2.300";
    WriteKey("\"MonitorFrom\"=\"" + strList + "\"\n\"PortIn\"=\"2525\"\n");
    ASSERT_TRUE(Load());
    Save();
    ASSERT_TRUE(Load());
    const std::string strBad = "\" is not an IPv4 address and is ignored.";
    EXPECT_EQ(reports, (Reports{{0, "MonitorFrom: \"mon.example.org" + strBad},
                                {0, "MonitorFrom: \"10.1.2.300" + strBad},
                                {0, "MonitorFrom: \"mon.example.org" + strBad},
                                {0, "MonitorFrom: \"10.1.2.300" + strBad}}));
    EXPECT_EQ(settings.MonitorFrom, strList);
    const struct {
        const char* pAddress;
        bool bAllowed;
    } cases[] = {{"127.0.0.5", true}, {"10.1.2.3", true}, {"127.0.0.1", false}, {"", false}};
    for (const auto& test : cases) {
        std::optional<std::uint32_t> address;
        if (*test.pAddress) address = inet_addr(test.pAddress);
        EXPECT_EQ(settings.IsMonitorFrom(address), test.bAllowed) << test.pAddress;
    }
    WriteKey("\"MonitorFrom\"=\" , \"\n");
    ASSERT_TRUE(Load());
    EXPECT_TRUE(settings.IsMonitorFrom(std::nullopt));
    EXPECT_TRUE(settings.IsMonitorFrom(inet_addr("192.0.2.1")));
    // A value that cannot be read as a list is reported and lets nobody in, never anyone.
    reports.clear();
    WriteKey("\"MonitorFrom\"=dword:00000000\n");
    ASSERT_TRUE(Load());
    EXPECT_EQ(reports, (Reports{{0,
                                 "MonitorFrom cannot be read (it is not a text value); no "
                                 "address may become a monitor."}}));
    EXPECT_FALSE(settings.IsMonitorFrom(std::nullopt));
    EXPECT_FALSE(settings.IsMonitorFrom(inet_addr("127.0.0.5")));
}

// The values only the hive sets: read at every load (absent, "0" or empty switch them off; a
// bad ProxyFrom entry is named and left out), and kept as they are by a save of the dialog's.
TEST_F(CStoreFixture, ConcurrentScreeningAndProxyFromSurviveASaveAndSwitchOffWhenAbsent) {
    const std::string strList = "10.0.0.1, 10.0.0.2,,balancer.example";
    WriteKey("\"ConcurrentScreening\"=\"1\"\n\"ProxyFrom\"=\"" + strList + "\"\n");
    ASSERT_TRUE(Load());
    EXPECT_EQ(reports, (Reports{{0,
                                 "ProxyFrom: \"balancer.example\" is not an IPv4 address and "
                                 "is ignored."}}));
    EXPECT_EQ(settings.ConcurrentScreening, 1);
    EXPECT_EQ(settings.m_proxyFrom.size(), 2u);
    settings.PortIn = 2526;
    Save();
    const std::vector<std::string> stored = Stored();
    for (const std::string& strValue :
         {std::string("ConcurrentScreening=1"), "ProxyFrom=" + strList, std::string("PortIn=2526")})
        EXPECT_NE(std::find(stored.begin(), stored.end(), strValue), stored.end()) << strValue;
    settings.ConcurrentScreening = 0;
    ASSERT_TRUE(Load());
    EXPECT_EQ(settings.ConcurrentScreening, 1);
    EXPECT_EQ(settings.ProxyFrom, strList);
    EXPECT_TRUE(settings.IsProxyFrom(htonl(0x0A000002)));

    // A ProxyFrom that cannot be read is reported and leaves the list in use as it was: the
    // balancers trusted so far, none at start-up.
    const std::string strUnreadable = "ProxyFrom cannot be read (it is not a text value); ";
    reports.clear();
    WriteKey("\"ProxyFrom\"=dword:0a000003\n");
    ASSERT_TRUE(Load());
    Settings fresh;
    ASSERT_TRUE(LoadSettings(fresh, report, bKeyMissing, place));
    EXPECT_EQ(reports,
              (Reports{{0, strUnreadable + "the load balancers trusted so far stay trusted."},
                       {0, strUnreadable + "no load balancer is trusted."}}));
    EXPECT_TRUE(settings.IsProxyFrom(htonl(0x0A000002)));
    EXPECT_FALSE(fresh.IsProxyFrom(htonl(0x0A000003)));

    for (const char* pValues : {"\"ConcurrentScreening\"=\"0\"\n\"ProxyFrom\"=\"\"\n", ""}) {
        WriteKey(pValues);
        ASSERT_TRUE(Load());
        EXPECT_EQ(settings.ConcurrentScreening, 0) << pValues;
        EXPECT_FALSE(settings.IsProxyFrom(htonl(0x0A000001))) << pValues;
        EXPECT_EQ(settings.DnsblThreshold, 1) << pValues;
        EXPECT_EQ(settings.ZoneCheckMinutes + settings.DnsblCacheSeconds, 0) << pValues;
        EXPECT_EQ((std::vector<int>{settings.GreetWait, settings.GreetPassHours,
                                    settings.ClientConnectionLimit, settings.ClientConnectionRate,
                                    settings.DeferOnDnsFailure}),
                  (std::vector<int>{0, 24, 0, 0, 0}))
            << pValues;
    }

    // The screening values and networks in the address lists, kept by a save the same way.
    reports.clear();
    WriteKey(
        "\"DnsblThreshold\"=\"3\"\n\"ZoneCheckMinutes\"=\"15\"\n"
        "\"DnsblCacheSeconds\"=\"600\"\n\"ProxyFrom\"=\"10.1.0.0/16, 10.2.0.1/16\"\n"
        "\"GreetWait\"=\"900\"\n\"GreetPassHours\"=\"0\"\n\"ClientConnectionLimit\"=\"10\"\n"
        "\"ClientConnectionRate\"=\"-4\"\n\"DeferOnDnsFailure\"=\"7\"\n");
    ASSERT_TRUE(Load());
    Save();
    ASSERT_TRUE(Load());
    EXPECT_EQ((std::vector<int>{settings.DnsblThreshold, settings.ZoneCheckMinutes,
                                settings.DnsblCacheSeconds}),
              (std::vector<int>{3, 15, 600}));
    // The wait is at most 300 seconds, a negative number is off, any other number switches on.
    EXPECT_EQ((std::vector<int>{settings.GreetWait, settings.GreetPassHours,
                                settings.ClientConnectionLimit, settings.ClientConnectionRate,
                                settings.DeferOnDnsFailure}),
              (std::vector<int>{300, 0, 10, 0, 1}));
    EXPECT_TRUE(settings.IsProxyFrom(htonl(0x0A01FE01)));
    EXPECT_FALSE(settings.IsProxyFrom(htonl(0x0A020001)));
    const std::string strBadNetwork =
        "ProxyFrom: \"10.2.0.1/16\": the address has bits set beyond the prefix length (the "
        "network is 10.2.0.0/16); it is ignored.";
    EXPECT_EQ(reports, (Reports{{0, strBadNetwork}, {0, strBadNetwork}}));
}
