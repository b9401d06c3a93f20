// The PROXY protocol header parser over any bytes, and over every prefix of them as a reader that
// receives the header piece by piece sees it: no read beyond the bytes given (each prefix is a
// copy of its own), and the answer only moves forward. NeedMore asks for more than it has (the
// reader keeps what it reads beyond the header for the client); a prefix that is already
// Complete or Invalid gives the same answer, with the same address, on the whole input, and a
// prefix shorter than a complete header needs more. A header naming a client is written again by
// FormatProxyHeader, in both versions, and reads back the same.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "gateway/ProxyHeader.h"

namespace {
bool Same(const CProxyHeader& a, const CProxyHeader& b) {
    return a.eParse == b.eParse && a.nLength == b.nLength && a.eSource == b.eSource &&
           a.source == b.source && a.nPort == b.nPort && a.destination == b.destination &&
           a.nDestinationPort == b.nDestinationPort;
}

// A header that names a client, written again in either version, reads back to the same
// addresses and ports.
void CheckWrittenAgain(const CProxyHeader& header) {
    if (header.eParse != EProxyParse::Complete || header.eSource == EProxySource::Connection)
        return;
    for (int nVersion : {1, 2}) {
        const std::string strAgain = FormatProxyHeader(nVersion, header.source, header.nPort,
                                                       header.destination, header.nDestinationPort);
        const CProxyHeader again = ParseProxyHeader(
            reinterpret_cast<const std::uint8_t*>(strAgain.data()), strAgain.size());
        if (again.eParse != EProxyParse::Complete || again.nLength != strAgain.size() ||
            again.source != header.source || again.nPort != header.nPort ||
            again.destination != header.destination ||
            again.nDestinationPort != header.nDestinationPort)
            std::abort();
    }
}

CProxyHeader Parse(const std::uint8_t* pData, std::size_t nSize) {
    const std::vector<std::uint8_t> copy(pData, pData + nSize);
    const CProxyHeader header = ParseProxyHeader(copy.data(), copy.size());
    const bool bSane = header.eParse == EProxyParse::NeedMore
                           ? header.nMaxLength > nSize && header.nMaxLength <= kProxyV2MaxBytes
                       : header.eParse == EProxyParse::Complete
                           ? header.nLength > 0 && header.nLength <= nSize
                           : true;
    if (!bSane) std::abort();
    return header;
}

// The first bytes (signature, command, family, length), a spread, and the lengths around the
// header's end.
std::vector<std::size_t> Prefixes(std::size_t nSize, const CProxyHeader& whole) {
    std::vector<std::size_t> sizes;
    for (std::size_t n = 0; n <= std::min<std::size_t>(nSize, 16); ++n) sizes.push_back(n);
    for (std::size_t n = 1; n <= 8; ++n) sizes.push_back(nSize * n / 8);
    if (whole.eParse == EProxyParse::Complete)
        sizes.insert(sizes.end(), {whole.nLength - 1, whole.nLength});
    return sizes;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    const CProxyHeader whole = Parse(pData, nSize);
    CheckWrittenAgain(whole);
    for (const std::size_t nPrefix : Prefixes(nSize, whole)) {
        const CProxyHeader part = Parse(pData, nPrefix);
        if (part.eParse != EProxyParse::NeedMore && !Same(part, whole)) std::abort();
        if (whole.eParse == EProxyParse::Complete && nPrefix < whole.nLength &&
            part.eParse != EProxyParse::NeedMore)
            std::abort();
    }
    return 0;
}
