#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "settings/DnsblZone.h"
#include "settings/NetPrefix.h"
#include "settings/Settings.h"

namespace {
// "id:text" for each entry of a list, head first.
template <typename Entry, typename Text>
std::vector<std::string> Entries(const Settings& settings, CEntryList<Entry> Settings::*pHead,
                                 Text text) {
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

// The listener reads a published copy while the UI thread edits its own record: a copy holds
// the same entries in the same order, and neither side's change reaches the other.
TEST(Settings, ACopyHoldsItsOwnListsInTheSameOrder) {
    Settings settings;
    for (int n = 0; n < 3; ++n) settings.AddDnsblServer("zone" + std::to_string(n), n % 2);
    settings.AddExclusion("10.0.0.0/8", 1);
    settings.MailServer = "mail.example";
    Settings copy = settings;
    EXPECT_EQ(Names(copy), Names(settings));
    EXPECT_EQ(Addresses(copy), Addresses(settings));
    EXPECT_EQ(copy.m_nLastDnsblId, 3);
    EXPECT_EQ(copy.MailServer, "mail.example");

    settings.FindDnsblServer(2)->m_strName.clear();
    settings.ClearExclusions();
    settings.AddDnsblServer("zone3", 1);
    EXPECT_EQ(Names(copy), (std::vector<std::string>{"3:zone2", "2:zone1", "1:zone0"}));
    EXPECT_EQ(Addresses(copy), std::vector<std::string>{"1:10.0.0.0/8"});
    copy = settings;  // assigning replaces the lists, freeing the old entries
    EXPECT_EQ(Names(copy), Names(settings));
    EXPECT_EQ(copy.Exclusions, nullptr);
}

// Reads pText with Parse: where the case names an error (pError not empty), expects a reason
// holding it; otherwise expects none. True when the value was read and may be looked at.
template <typename Value, typename Parse>
bool ReadAsTheCaseSays(Parse parse, const char* pText, const char* pError, Value& value) {
    const std::string strError = parse(pText, value);
    if (*pError != '\0') {
        EXPECT_NE(strError.find(pError), std::string::npos) << pText << ": " << strError;
        return false;
    }
    EXPECT_EQ(strError, "") << pText;
    return strError.empty();
}

// Zone texts as the hive and the dialog give them: plain names whatever they hold, filters of
// numbers, lists and ranges, weights either way, and what cannot be read, with its reason.
TEST(DnsblZone, TextsReadAsPlainZonesFiltersAndWeightsOrSayWhatIsWrong) {
    struct {
        const char* pText;
        const char* pRead;   // the zone written back ("" for an error)
        const char* pError;  // a part of the reason
    } cases[] = {
        {"zen.example", "zen.example", ""},
        {"odd name [x].", "odd name [x].", ""},  // plain: read as zones always were
        {"", "", ""},                            // a removed entry, still asked
        {"zen.example=127.0.0.[2..11]", "zen.example=127.0.0.[2..11]*1", ""},
        {"wl.example=127.0.[0..255].[1..3]*-5", "wl.example=127.0.[0..255].[1..3]*-5", ""},
        {"x=127.0.0.[2;4;9..11;3]", "x=127.0.0.[2..4;9..11]*1", ""},
        {"x=127.0.0.[7..7]", "x=127.0.0.7*1", ""},
        {"bl.example*2", "bl.example=127.0.0.2*2", ""},
        {"x*1000000", "x=127.0.0.2*1000000", ""},
        {"=127.0.0.2", "", "zone name"},
        {"x=127.0.0", "", "four parts"},
        {"x=127.0.0.2.5", "", "four parts"},
        {"x=127.0.0.256", "", "\"256\" in the filter is not a number from 0 to 255"},
        {"x=127.0.0.[11..2]", "", "the range 11..2 in the filter runs backwards"},
        {"x=127.0.0.[]", "", "empty list"},
        {"x=127.0.0.[2", "", "no closing \"]\""},
        {"x=127.0.0.[2;]", "", "\"\" in the filter"},
        {"x=127.0.0.-1", "", "\"-1\""},
        {"x*", "", "weight \"\""},
        {"x*1000001", "", "weight \"1000001\""},
        {"x*2*3", "", "more than one \"*\""},
        {"x*2=127.0.0.2", "", "must come before"},
        {"x=127.0.0.2=127.0.0.3", "", "more than one \"=\""},
        {"zen.example = 127.0.0.2", "", "without blanks"},
    };
    for (const auto& c : cases) {
        CDnsblZone zone;
        if (ReadAsTheCaseSays(ParseDnsblZone, c.pText, c.pError, zone)) {
            EXPECT_EQ(FormatDnsblZone(zone), c.pRead) << c.pText;
        }
    }
    CDnsblZone zone;
    ASSERT_EQ(ParseDnsblZone("zen.example=127.0.[0;1].[2..11]", zone), "");
    EXPECT_EQ(zone.strName, "zen.example");
    for (const auto& [record, bListed] :
         {std::pair{std::array<std::uint8_t, 4>{127, 0, 0, 2}, true},
          {{127, 0, 1, 11}, true},
          {{127, 0, 0, 12}, false},
          {{127, 0, 2, 4}, false},
          {{126, 0, 0, 4}, false}})
        EXPECT_EQ(zone.filter.Matches(record), bListed) << int(record[2]) << "." << int(record[3]);
}

// Networks as exclusions, ProxyFrom and MonitorFrom write them: what each holds, and what cannot
// be read, with its reason.
TEST(NetPrefix, AddressesAndNetworksHoldWhatTheySayOrSayWhatIsWrong) {
    struct {
        const char* pText;
        const char* pInside;
        const char* pOutside;
        const char* pError;
    } cases[] = {
        {"192.0.2.10", "192.0.2.10", "192.0.2.11", ""},
        {"192.0.2.0/24", "192.0.2.255", "192.0.3.0", ""},
        {"10.0.0.0/8", "10.255.0.1", "11.0.0.0", ""},
        {"192.0.2.128/25", "192.0.2.200", "192.0.2.127", ""},
        {"0.0.0.0/0", "203.0.113.9", "::", ""},
        {"192.0.2.10/32", "192.0.2.10", "192.0.2.11", ""},
        {"2001:db8::/32", "2001:db8:ffff::1", "2001:db9::", ""},
        {"2001:DB8:0::10", "2001:db8::10", "2001:db8::11", ""},  // any writing, one address
        {"2001:db8::/127", "2001:db8::1", "2001:db8::2", ""},
        {"::/0", "::1", "192.0.2.1", ""},                        // every IPv6 address, no IPv4 one
        {"::ffff:192.0.2.0/120", "192.0.2.9", "192.0.3.0", ""},  // mapped: the IPv4 network
        {"::ffff:192.0.2.1", "192.0.2.1", "::ffff:0:0", ""},
        {"192.0.2.1/24", "", "", "bits set beyond the prefix length (the network is 192.0.2.0/24)"},
        {"192.0.2.0/33", "", "", "from 0 to 32"},
        {"192.0.2.0/", "", "", "from 0 to 32"},
        {"192.0.2.0/+8", "", "", "from 0 to 32"},
        {"192.0.2.0/24/8", "", "", "from 0 to 32"},
        {"010.0.0.1", "", "", "is not an IPv4 address"},
        {"192.0.2", "", "", "is not an IPv4 address"},
        {" 192.0.2.1", "", "", "is not an IPv4 address"},
        {"2001:db8::1/64", "", "",
         "bits set beyond the prefix length (the network is 2001:db8::/64)"},
        {"2001:db8::/129", "", "", "from 0 to 128"},
        {"2001:db8::zz", "", "", "\"2001:db8::zz\" is not an IPv6 address"},
        {"fe80::1%lo", "", "", "is not an IPv6 address"},
        {"2001:db8:::1", "", "", "is not an IPv6 address"},
    };
    const auto address = [](const char* pText) {
        CNetPrefix single;
        EXPECT_EQ(ParseNetPrefix(pText, single), "") << pText;
        return single.address;
    };
    for (const auto& c : cases) {
        CNetPrefix prefix;
        if (!ReadAsTheCaseSays(ParseNetPrefix, c.pText, c.pError, prefix)) continue;
        EXPECT_TRUE(prefix.Contains(address(c.pInside))) << c.pText;
        EXPECT_FALSE(prefix.Contains(address(c.pOutside))) << c.pText;
    }
}

// A client's address as the lines show it (RFC 5952 for IPv6) and as a DNS list is asked for it
// (RFC 5782: the nibbles last first); a mapped address is the IPv4 client it maps.
TEST(NetPrefix, AddressTextAndListNameFollowTheRfcs) {
    const std::string strZeros = "0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0";
    const struct {
        const char* pWritten;
        const char* pText;
        std::string strReversed;  // empty: not looked at
    } cases[] = {
        {"::", "::", "0." + strZeros},
        {"::1", "::1", "1." + strZeros},
        {"1::", "1::", strZeros.substr(0, 55) + ".1.0.0.0"},  // a group's four digits
        {"2001:0DB8:0000:0000:0000:0000:0000:0005", "2001:db8::5",
         "5.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1", ""},     // the first of two equal runs
        {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1", ""},           // the longest run
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1", ""},  // one zero group stays
        {"fe80::aBcD:12", "fe80::abcd:12",
         "2.1.0.0.d.c.b.a.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.e.f"},
        {"::102:304", "::102:304", ""},  // not mapped: no dotted part
        {"::ffff:192.0.2.10", "192.0.2.10", "10.2.0.192"},
        {"::FFFF:c000:20a", "192.0.2.10", "10.2.0.192"},
        {"192.0.2.10", "192.0.2.10", "10.2.0.192"},
    };
    for (const auto& c : cases) {
        CNetPrefix single;
        ASSERT_EQ(ParseNetPrefix(c.pWritten, single), "") << c.pWritten;
        EXPECT_EQ(single.address.ToText(), c.pText) << c.pWritten;
        EXPECT_EQ(single.ToText(), c.pText) << c.pWritten;
        if (!c.strReversed.empty()) {
            EXPECT_EQ(single.address.ReversedText(), c.strReversed) << c.pWritten;
        }
    }
}
