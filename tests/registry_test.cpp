#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/Registry.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace {
const char* const kKey = "SOFTWARE\\Quenfield\\Tarnwick";
const char* const kOtherKey =
    "System\\CurrentControlSet\\Services\\EventLog\\Application\\Tarnwick";

std::string Query(const std::string& strHive, const std::string& strKey,
                  const std::string& strName) {
    CRegistryKey key(strHive);
    std::string strData;
    if (key.Open(strKey) != ERROR_SUCCESS) return "<no key>";
    if (key.QueryValue(strName, strData, 100) != ERROR_SUCCESS) return "<no value>";
    return strData;
}
}  // namespace

TEST(Registry, WritesRegedit4TextThatReadsBackWithEscapesAndNumbers) {
    CTempDir dir;
    const std::string strHive = dir.File("sub/folder/registry.reg");  // folders are made
    {
        CRegistryKey key(strHive);
        ASSERT_EQ(key.Create(kKey), ERROR_SUCCESS);
        EXPECT_EQ(key.SetValue("MailServer", std::string("a\\b \"quoted\" c")), ERROR_SUCCESS);
        EXPECT_EQ(key.SetValue("TypesSupported", std::uint32_t{7}), ERROR_SUCCESS);
        EXPECT_EQ(key.SetValue("Bad", std::string("two\nlines")), ERROR_INVALID_PARAMETER);
        ASSERT_EQ(key.Close(), ERROR_SUCCESS);
    }
    EXPECT_EQ(ReadFileBytes(strHive),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenfield\\Tarnwick]\n"
              "\"MailServer\"=\"a\\\\b \\\"quoted\\\" c\"\n"
              "\"TypesSupported\"=dword:00000007\n");
    // Names compare without letter case, as the registry's do.
    EXPECT_EQ(Query(strHive, "software\\QUENFIELD\\tarnwick", "mailserver"), "a\\b \"quoted\" c");
    EXPECT_EQ(Query(strHive, kKey, "Missing"), "<no value>");
}

TEST(Registry, TwoKeysShareTheHiveAndEachCloseKeepsTheOther) {
    CTempDir dir;
    const std::string strHive = dir.File("registry.reg");
    CRegistryKey first(strHive);
    CRegistryKey second(strHive);
    ASSERT_EQ(first.Create(kKey), ERROR_SUCCESS);
    ASSERT_EQ(second.Create(kOtherKey), ERROR_SUCCESS);
    first.SetValue("PortIn", std::string("2525"));
    second.SetValue("EventMessageFile", std::string("/x/tarnwkmsg.dll"));
    EXPECT_EQ(second.Close(), ERROR_SUCCESS);
    EXPECT_EQ(first.Close(), ERROR_SUCCESS);  // opened before the other key was written
    EXPECT_EQ(Query(strHive, kKey, "PortIn"), "2525");
    EXPECT_EQ(Query(strHive, kOtherKey, "EventMessageFile"), "/x/tarnwkmsg.dll");
    // Values set on a key reach the hive only when it closes.
    CRegistryKey third(strHive);
    ASSERT_EQ(third.Open(kKey), ERROR_SUCCESS);
    third.SetValue("PortIn", std::string("26"));
    EXPECT_EQ(Query(strHive, kKey, "PortIn"), "2525");
    third.Close();
    EXPECT_EQ(Query(strHive, kKey, "PortIn"), "26");
}

TEST(Registry, OpenTellsMissingKeyAndBrokenHiveApart) {
    CTempDir dir;
    const std::string strHive = dir.File("registry.reg");
    CRegistryKey key(strHive);
    EXPECT_EQ(key.Open(kKey), ERROR_FILE_NOT_FOUND);  // no hive at all
    WriteFileBytes(strHive, "REGEDIT4\r\n\r\n; a comment\r\n[HKEY_LOCAL_MACHINE\\Other]\r\n");
    EXPECT_EQ(key.Open(kKey), ERROR_FILE_NOT_FOUND);  // hive without the key
    EXPECT_EQ(key.Open("Other"), ERROR_SUCCESS);

    for (const char* pBroken : {"", "[HKEY_LOCAL_MACHINE\\A]\n", "REGEDIT4\n\"Orphan\"=\"x\"\n",
                                "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"Unterminated=\"x\"\n",
                                "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"N\"=dword:xyz\n",
                                "REGEDIT4\n[HKEY_CURRENT_USER\\A]\n"}) {
        WriteFileBytes(strHive, pBroken);
        EXPECT_EQ(key.Open("A"), ERROR_BADDB) << pBroken;
        // A hive that does not parse is never replaced by one holding only the new key.
        EXPECT_EQ(key.Create(kKey), ERROR_BADDB) << pBroken;
        EXPECT_EQ(ReadFileBytes(strHive), pBroken);
    }
}

TEST(Registry, HivePathFollowsTheEnvironment) {
    setenv("TARNWICK_REGISTRY", "/tmp/x/hive.reg", 1);
    EXPECT_EQ(RegistryHivePath(), "/tmp/x/hive.reg");
    unsetenv("TARNWICK_REGISTRY");
    if (geteuid() == 0) {
        EXPECT_EQ(RegistryHivePath(), "/etc/tarnwick/registry.reg");
    }
    EXPECT_EQ(
        RunInChild(
            [] {
                setenv("XDG_CONFIG_HOME", "/cfg", 1);
                if (RegistryHivePath() != "/cfg/tarnwick/registry.reg") return 1;
                unsetenv("XDG_CONFIG_HOME");
                setenv("HOME", "/home/someone", 1);
                return RegistryHivePath() == "/home/someone/.config/tarnwick/registry.reg" ? 0 : 2;
            },
            true),
        0);
}

// A write that the disk refuses (here: the file-size limit, as a full disk would) leaves the hive
// as it was and no temporary file behind.
TEST(Registry, FailedWriteLeavesTheOldHive) {
    CTempDir dir;
    const std::string strHive = dir.File("registry.reg");
    {
        CRegistryKey key(strHive);
        ASSERT_EQ(key.Create(kKey), ERROR_SUCCESS);
        key.SetValue("MailServer", std::string("old"));
    }
    const std::string strOld = ReadFileBytes(strHive);
    EXPECT_EQ(RunInChild([&] {
                  signal(SIGXFSZ, SIG_IGN);
                  rlimit limit{40, 40};
                  setrlimit(RLIMIT_FSIZE, &limit);
                  CRegistryKey key(strHive);
                  if (key.Open(kKey) != ERROR_SUCCESS) return 1;
                  key.SetValue("MailServer", std::string(80, 'n'));
                  return key.Close() == EFBIG ? 0 : 2;
              }),
              0);
    EXPECT_EQ(ReadFileBytes(strHive), strOld);
    EXPECT_EQ(std::system(("test $(ls -A " + dir.Path() + " | wc -l) -eq 1").c_str()), 0);
}
