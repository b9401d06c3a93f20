// The DNS answer handling: any answer buffer, with the status c-ares' query callback would give
// it, yields a status without a fault (the SOA of a name that does not exist included); the
// whole answer's first record is the address the first-address reading gives; and cutting an
// answer short (as c-ares cuts a long UDP answer) never changes what it gives: the cut answer
// gives the same first addresses, or none. (Not always the same times to live: c-ares lowers
// them to that of a CNAME record further on, which the cut answer may not hold.)
#include <ares.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/DnsAnswer.h"

namespace {
// The status c-ares' query callback passes with an answer: from its response code, and "no
// data" for a successful answer without records.
int CallbackStatus(const std::vector<std::uint8_t>& answer) {
    switch (answer[3] & 0x0F) {
        case 0:
            return answer[6] == 0 && answer[7] == 0 ? ARES_ENODATA : ARES_SUCCESS;
        case 1:
            return ARES_EFORMERR;
        case 2:
            return ARES_ESERVFAIL;
        case 3:
            return ARES_ENOTFOUND;
        case 4:
            return ARES_ENOTIMP;
        case 5:
            return ARES_EREFUSED;
        default:
            return ARES_SUCCESS;
    }
}

using Address = std::array<std::uint8_t, 4>;

CDnsAnswer Handle(const std::vector<std::uint8_t>& answer) {
    const int nStatus = CallbackStatus(answer);
    const int nLength = static_cast<int>(answer.size());
    CDnsAnswer whole = ReadDnsAnswer(nStatus, answer.data(), nLength);
    Address address{};
    if (DnsAnswerA(nStatus, answer.data(), nLength, address) != whole.nStatus) std::abort();
    if (whole.nStatus == ARES_SUCCESS &&
        (whole.records.empty() || whole.records.front().address != address))
        std::abort();
    if (whole.negativeTtl && (nStatus != ARES_ENOTFOUND || *whole.negativeTtl > 0x7FFFFFFF))
        std::abort();
    return whole;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    // c-ares drops anything shorter than a header before any callback.
    if (nSize < 12) return 0;
    const std::vector<std::uint8_t> answer(pData, pData + nSize);
    const CDnsAnswer whole = Handle(answer);
    if (whole.nStatus == ARES_SUCCESS && nSize > 12) {
        // The first byte (part of the query id, which the parser ignores) chooses the cut.
        const std::size_t nCut = std::max<std::size_t>(12, nSize - 1 - pData[0] % (nSize - 12));
        const CDnsAnswer cut = Handle(std::vector<std::uint8_t>(pData, pData + nCut));
        const auto sameAddress = [](const CDnsRecordA& a, const CDnsRecordA& b) {
            return a.address == b.address;
        };
        if (cut.nStatus == ARES_SUCCESS && (cut.records.size() > whole.records.size() ||
                                            !std::equal(cut.records.begin(), cut.records.end(),
                                                        whole.records.begin(), sameAddress)))
            std::abort();
    }
    return 0;
}
