// The zone text and network parsers over any text. A zone that reads is written out again as text
// that reads to the same zone (so the filter's lists and ranges mean what they say), a text
// without "=" and "*" is always a plain zone named by the whole text, a zone with a filter or
// weight has a name without them, and a text that does not read says why. A network that reads
// is written out as text that reads to the same network, holds its own address, and has no bits
// set beyond its length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "settings/DnsblZone.h"
#include "settings/NetPrefix.h"

namespace {
void Check(bool bHolds) {
    if (!bHolds) std::abort();
}

void CheckZone(const std::string& strText) {
    CDnsblZone zone;
    const std::string strError = ParseDnsblZone(strText, zone);
    const bool bPlainText = strText.find_first_of("=*") == std::string::npos;
    if (!strError.empty()) {
        Check(!bPlainText);
        return;
    }
    Check(zone.bPlain == bPlainText);
    Check(!bPlainText || zone.strName == strText);
    Check(bPlainText ||
          (!zone.strName.empty() && zone.strName.find_first_of("=* \t") == std::string::npos));
    Check(zone.nWeight >= -kMaxZoneWeight && zone.nWeight <= kMaxZoneWeight);
    CDnsblZone again;
    Check(ParseDnsblZone(FormatDnsblZone(zone), again).empty() && again == zone);
}

void CheckNetwork(const std::string& strText) {
    CNetPrefix prefix;
    if (!ParseNetPrefix(strText, prefix).empty()) return;
    Check(prefix.nBits >= 0 && prefix.nBits <= prefix.address.Bits());
    Check(prefix.Contains(prefix.address));
    CNetPrefix again;
    Check(ParseNetPrefix(prefix.ToText(), again).empty() && again == prefix);
    CNetPrefix whole{prefix.address, 0};
    Check(whole.Contains(prefix.address));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    const std::string strText(reinterpret_cast<const char*>(pData), nSize);
    CheckZone(strText);
    CheckNetwork(strText);
    return 0;
}
