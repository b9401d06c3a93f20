#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "settings/Settings.h"

namespace {
// "id:text" for each entry of a list, head first, read under the lock.
template <typename Entry, typename Text>
std::vector<std::string> Entries(const Settings& settings, Entry* Settings::*pHead, Text text) {
    std::lock_guard<std::recursive_mutex> guard(settings.m_lock);
    std::vector<std::string> entries;
    for (Entry* p = settings.*pHead; p; p = p->m_pNext)
        entries.push_back(std::to_string(p->m_nId) + ":" + text(*p));
    return entries;
}
std::vector<std::string> Names(const Settings& settings) {
    return Entries(settings, &Settings::DNSBL_Servers, [](auto& e) { return e.m_strName; });
}
std::vector<std::string> Addresses(const Settings& settings) {
    return Entries(settings, &Settings::Exclusions, [](auto& e) { return e.m_strAddress; });
}
}  // namespace

TEST(Settings, DnsblNamesAreTrimmedBlankOnesAddNothingAndTheNewestIsAtTheHead) {
    Settings settings;
    settings.AddDnsblServer("  first.example\t", 1);
    settings.AddDnsblServer(" \t\r\n\v\f", 1);  // no entry, and no identifier used
    settings.AddDnsblServer("", 0);
    settings.AddDnsblServer("second.example", 0);
    settings.AddDnsblServer("third.example", 1);
    settings.AddDnsblServer("third.example", 1);  // duplicates are kept
    EXPECT_EQ(Names(settings), (std::vector<std::string>{"4:third.example", "3:third.example",
                                                         "2:second.example", "1:first.example"}));
    EXPECT_EQ(settings.m_nLastDnsblId, 4);
    const CDnsblServer* pSecond = settings.FindDnsblServer(2);
    ASSERT_NE(pSecond, nullptr);
    EXPECT_EQ(pSecond->m_bActive, 0);
    EXPECT_EQ(pSecond->m_nCatches, 0);
    EXPECT_EQ(settings.FindDnsblServer(0), nullptr);
    EXPECT_EQ(settings.FindDnsblServer(5), nullptr);

    // Clearing keeps the counter: only a load starts identifiers again at 1.
    settings.ClearDnsblServers();
    EXPECT_EQ(settings.DNSBL_Servers, nullptr);
    EXPECT_EQ(settings.FindDnsblServer(1), nullptr);
    settings.AddDnsblServer("again.example", 1);
    EXPECT_EQ(Names(settings), (std::vector<std::string>{"5:again.example"}));
}

TEST(Settings, ExclusionsKeepTheirTextAsGivenWithTheirOwnCounter) {
    Settings settings;
    settings.AddDnsblServer("zone.example", 1);
    settings.AddExclusion("10.0.0.1", 1);
    settings.AddExclusion("", 1);  // an entry that counts as removed, but uses an identifier
    settings.AddExclusion(" 10.0.0.2 ", 0);
    settings.AddExclusion("10.0.0.1", 1);
    EXPECT_EQ(Addresses(settings),
              (std::vector<std::string>{"4:10.0.0.1", "3: 10.0.0.2 ", "2:", "1:10.0.0.1"}));
    ASSERT_NE(settings.FindExclusion(2), nullptr);
    EXPECT_EQ(settings.FindExclusion(2)->m_strAddress, "");
    EXPECT_EQ(settings.FindExclusion(3)->m_bActive, 0);
    EXPECT_EQ(settings.FindExclusion(0), nullptr);

    settings.ClearExclusions();
    settings.AddExclusion("10.0.0.3", 1);
    EXPECT_EQ(Addresses(settings), (std::vector<std::string>{"5:10.0.0.3"}));
    EXPECT_EQ(Names(settings), (std::vector<std::string>{"1:zone.example"}));
}

TEST(Settings, TrimStripsBothEndsInPlaceAndReturnsTheResult) {
    std::string strText = " \t\v\f\r\n mail.example.com\tb \r\n", strBlank = " \t \r\n";
    EXPECT_EQ(Trim(strText), "mail.example.com\tb");
    EXPECT_EQ(strText, "mail.example.com\tb");
    EXPECT_EQ(Trim(strBlank), "");
    EXPECT_EQ(strBlank, "");
}

// The listener thread walks the lists while the UI thread rebuilds them; under the lock rule
// it sees whole lists only (and ThreadSanitizer sees no race).
TEST(Settings, AReaderUnderTheLockSeesWholeListsWhileTheyAreRebuilt) {
    Settings settings;
    std::atomic<bool> bDone{false};
    std::atomic<int> nTornLists{0};
    std::thread reader([&] {
        while (!bDone) {
            std::lock_guard<std::recursive_mutex> guard(settings.m_lock);
            int nCount = 0;
            for (CDnsblServer* p = settings.DNSBL_Servers; p; p = p->m_pNext) {
                ++nCount;
                if (p->m_strName.empty() || !p->m_bActive) ++nTornLists;
                ++p->m_nCatches;
            }
            if (nCount != 0 && nCount != 3) ++nTornLists;
            settings.GetMailServer();
        }
    });
    for (int i = 0; i < 2000; ++i) {
        std::lock_guard<std::recursive_mutex> guard(settings.m_lock);  // a whole rebuild
        settings.ClearDnsblServers();
        for (int n = 0; n < 3; ++n) settings.AddDnsblServer("zone" + std::to_string(n), 1);
        settings.SetMailServer("mail" + std::to_string(i));
    }
    bDone = true;
    reader.join();
    EXPECT_EQ(nTornLists, 0);
    EXPECT_EQ(settings.m_nLastDnsblId, 6000);
}
