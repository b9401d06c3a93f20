// The settings-file reader (tarnwk.cfg): any bytes load without a fault, and the lists come out
// as the load promises: zone names trimmed and never empty, identifiers counting down from the
// head to 1, and no entry longer than a 1023-character line without its marker.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "settings/SettingsStore.h"

namespace {
template <class T>
void CheckIdentifiers(const T* pHead, std::int32_t nLast) {
    for (const T* p = pHead; p; p = p->m_pNext, --nLast)
        if (p->m_nId != nLast) std::abort();
    if (nLast != 0) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    if (nSize == 0) return 0;  // fmemopen needs a buffer; an empty file gives nothing anyway
    std::vector<std::uint8_t> bytes(pData, pData + nSize);
    std::FILE* pFile = fmemopen(bytes.data(), bytes.size(), "rb");
    if (pFile == nullptr) std::abort();
    Settings settings;
    LoadSettingsFile(pFile, settings);
    std::fclose(pFile);
    for (const CDnsblServer* p = settings.DNSBL_Servers; p; p = p->m_pNext) {
        std::string strName = p->m_strName;
        if (strName.empty() || Trim(strName) != p->m_strName || strName.size() > 1022) std::abort();
    }
    for (const CExclusion* p = settings.Exclusions; p; p = p->m_pNext)
        if (p->m_strAddress.size() > 1022) std::abort();
    CheckIdentifiers<CDnsblServer>(settings.DNSBL_Servers, settings.m_nLastDnsblId);
    CheckIdentifiers<CExclusion>(settings.Exclusions, settings.m_nLastExclusionId);
    return 0;
}
