// The registry: keys under HKEY_LOCAL_MACHINE holding string and 32-bit number values, kept in
// one hive file in the REGEDIT4 text format (platform/RegistryHive.h). The hive is
// TARNWICK_REGISTRY when that is set, else /etc/tarnwick/registry.reg for root and
// $XDG_CONFIG_HOME/tarnwick/registry.reg (default ~/.config/tarnwick/registry.reg) for others.
//
// A CRegistryKey is one open key, used by one thread at a time. Open and Create read the whole
// hive; values set on the key are kept with it and written when the key is closed, all at once:
// the new hive goes to a temporary file in the same folder, is flushed to disk and renamed over
// the old one, so a crash or a full disk leaves the old hive or the new one, never a torn one,
// and a key's values change together. Other keys of the hive are kept as they were on disk at the
// moment of the close. Key and value names compare without regard to letter case.
//
// The hive must be a regular file of at most kMaxHiveBytes: anything else (a FIFO, a device, a
// directory, a larger file) is refused at once, without waiting on it or reading it whole, as a
// hive that does not parse.
//
// Failures are returned as codes, never thrown: key or hive not found (2), access denied (5),
// a hive that does not parse or is refused as above (1009: it is never replaced by an empty one),
// a value too big for the caller's buffer (234), a text that the format cannot hold (87),
// otherwise the errno value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/RegistryHive.h"

constexpr long ERROR_SUCCESS = 0;
constexpr long ERROR_FILE_NOT_FOUND = 2;
constexpr long ERROR_ACCESS_DENIED = 5;
constexpr long ERROR_INVALID_PARAMETER = 87;
constexpr long ERROR_MORE_DATA = 234;
constexpr long ERROR_BADDB = 1009;
constexpr long ERROR_IO_DEVICE = 1117;

// The hive file this process uses.
std::string RegistryHivePath();

class CRegistryKey {
public:
    explicit CRegistryKey(std::string strHivePath = RegistryHivePath());
    ~CRegistryKey();  // closes the key, writing what was set
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    // Opens an existing key ("SOFTWARE\Quenfield\Tarnwick"): 2 when it or the hive is missing.
    long Open(const std::string& strKeyPath);
    // Opens the key, or makes it (written at Close) when it is missing. Fails with 5 when this
    // process could not write the hive.
    long Create(const std::string& strKeyPath);

    // Copies a value's data into strData when it fits a buffer of nBufferSize bytes (a string
    // needs one byte more for its terminating zero), and its type (REG_SZ or REG_DWORD) into
    // *pType when given; 2 when missing, 234 when too big.
    long QueryValue(const std::string& strName, std::string& strData, size_t nBufferSize,
                    std::uint32_t* pType = nullptr) const;
    // The names of the key's values, in the hive's order.
    std::vector<std::string> ValueNames() const;

    // Sets a string value; a text with a line break cannot be held by the format (87).
    long SetValue(const std::string& strName, const std::string& strText);
    long SetValue(const std::string& strName, std::uint32_t nNumber);

    // Writes the hive when a value was set or the key was made; 0 or the failure's code. The
    // hive is left as it was on failure.
    long Close();

private:
    long Load(const std::string& strKeyPath);

    std::string m_strHivePath;
    std::string m_strKeyPath;
    bool m_bOpen = false;
    bool m_bDirty = false;
    CHiveValues m_values;
};
