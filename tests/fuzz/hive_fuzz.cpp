// The REGEDIT4 hive parser: any text either does not parse, or parses to a hive whose written
// form reads back to the same keys and values, every one of which is found by its name in any
// letter case.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/RegistryHive.h"

namespace {
std::string UpperCase(std::string strText) {
    for (char& c : strText)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return strText;
}

void CheckFoundByName(CHive& hive) {
    for (const CHiveKey& key : hive.Keys()) {
        CHiveKey* pKey = hive.Find(UpperCase(key.strPath));
        if (pKey != &key) std::abort();
        for (const CRegistryValue& value : key.values.All())
            if (key.values.Find(UpperCase(value.strName)) != &value) std::abort();
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    const std::string strText(reinterpret_cast<const char*>(pData), nSize);
    CHive hive;
    if (!ParseHive(strText, hive)) return 0;
    CheckFoundByName(hive);
    const std::string strWritten = FormatHive(hive);
    CHive again;
    if (!ParseHive(strWritten, again) || FormatHive(again) != strWritten) std::abort();
    return 0;
}
