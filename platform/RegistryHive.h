// A registry hive in memory, and its REGEDIT4 text: keys below HKEY_LOCAL_MACHINE, each with its
// values in the order they were first set. Key and value names compare without regard to ASCII
// letter case, over their whole length.
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Quenfield\Tarnwick]
//   "MailServer"="mail.example.com"
//   "TypesSupported"=dword:00000007
//
// Parsing and formatting take time in proportion to the text (names are found through hash
// indexes), so a hive of any size allowed is read at once. No files here: CRegistryKey reads and
// writes them. A hive is used by one thread at a time. ParseHive returns false for text that does
// not parse, and never throws beyond memory exhaustion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

constexpr std::uint32_t REG_SZ = 1;
constexpr std::uint32_t REG_DWORD = 4;

// The largest hive file read: anything bigger cannot be a settings hive, and is refused before
// it is parsed.
constexpr std::size_t kMaxHiveBytes = 16 << 20;

// One value of a key: its name, type and raw data (a string's characters without a terminating
// zero, or a number's four bytes, least significant first).
struct CRegistryValue {
    std::string strName;
    std::uint32_t nType = REG_SZ;
    std::string data;
};

// The values of one key, in order, found by name in constant time.
class CHiveValues {
public:
    // Replaces the value of the same name, keeping its place; otherwise appends.
    void Put(CRegistryValue value);
    const CRegistryValue* Find(const std::string& strName) const;
    const std::vector<CRegistryValue>& All() const { return m_values; }
    void Clear();

private:
    std::vector<CRegistryValue> m_values;
    std::unordered_map<std::string, std::size_t> m_index;  // folded name -> position
};

struct CHiveKey {
    std::string strPath;  // below HKEY_LOCAL_MACHINE
    CHiveValues values;
};

class CHive {
public:
    // The key of that path, made at the end when missing. References stay valid as keys are added.
    CHiveKey& FindOrAdd(const std::string& strPath);
    CHiveKey* Find(const std::string& strPath);
    const std::deque<CHiveKey>& Keys() const { return m_keys; }

private:
    std::deque<CHiveKey> m_keys;
    std::unordered_map<std::string, std::size_t> m_index;  // folded path -> position
};

// The name as names are compared: ASCII letters in lower case.
std::string FoldedName(std::string_view name);

// The REGEDIT4 header line, then sections and their values; blank lines and ";" comments are
// skipped, a CR before the LF is dropped. Inside quotes only \\ and \" are escapes. A value set
// twice keeps the last data; sections of the same key are merged.
bool ParseHive(const std::string& strText, CHive& hive);

// The hive as REGEDIT4 text that ParseHive reads back to the same keys and values.
std::string FormatHive(const CHive& hive);
