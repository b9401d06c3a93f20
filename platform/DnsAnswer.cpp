#include "platform/DnsAnswer.h"

#include <ares.h>

#include <cstring>
#include <vector>

namespace {
constexpr int kHeaderBytes = 12;
constexpr int kQuestionFixedBytes = 4;  // type, class
constexpr int kRecordFixedBytes = 10;   // type, class, time to live, data length

enum class CStep { Whole, CutShort, Malformed };

int Read16(const unsigned char* p) { return (p[0] << 8) | p[1]; }

// Steps over a name at nPos: labels up to the root, or up to a compression pointer, which is
// not followed (c-ares checks where it leads).
CStep SkipName(const unsigned char* pAnswer, int nLength, int& nPos) {
    for (;;) {
        if (nPos >= nLength) return CStep::CutShort;
        const int nLabel = pAnswer[nPos];
        if (nLabel == 0) {
            ++nPos;
            return CStep::Whole;
        }
        if ((nLabel & 0xC0) == 0xC0) {
            nPos += 2;
            return nPos > nLength ? CStep::CutShort : CStep::Whole;
        }
        if ((nLabel & 0xC0) != 0) return CStep::Malformed;
        nPos += 1 + nLabel;
    }
}

// The number of answer records the buffer holds whole when it ends inside the answer section;
// -1 when it holds them all, or is broken some other way (c-ares' parser then judges it).
int RecordsBeforeTheCut(const unsigned char* pAnswer, int nLength) {
    if (nLength < kHeaderBytes) return -1;
    const int nQuestions = Read16(pAnswer + 4);
    const int nRecords = Read16(pAnswer + 6);
    int nPos = kHeaderBytes;
    for (int i = 0; i < nQuestions; ++i) {
        if (SkipName(pAnswer, nLength, nPos) != CStep::Whole) return -1;
        nPos += kQuestionFixedBytes;
        if (nPos > nLength) return -1;
    }
    for (int i = 0; i < nRecords; ++i) {
        const CStep step = SkipName(pAnswer, nLength, nPos);
        if (step == CStep::Malformed) return -1;
        if (step == CStep::CutShort || nPos + kRecordFixedBytes > nLength) return i;
        nPos += kRecordFixedBytes + Read16(pAnswer + nPos + 8);
        if (nPos > nLength) return i;
    }
    return -1;
}
}  // namespace

int DnsAnswerA(int nStatus, const unsigned char* pAnswer, int nLength,
               std::array<std::uint8_t, 4>& address) {
    if (nStatus != ARES_SUCCESS) return nStatus;
    if (pAnswer == nullptr || nLength < kHeaderBytes) return ARES_EBADRESP;
    // A cut answer claims more records than it holds, and c-ares would refuse it whole: it is
    // read as the answer of the records it holds.
    std::vector<unsigned char> trimmed;
    if (const int nHeld = RecordsBeforeTheCut(pAnswer, nLength); nHeld >= 0) {
        trimmed.assign(pAnswer, pAnswer + nLength);
        trimmed[6] = static_cast<unsigned char>(nHeld >> 8);
        trimmed[7] = static_cast<unsigned char>(nHeld & 0xFF);
        pAnswer = trimmed.data();
    }
    ares_addrttl records[1];
    int nRecords = 1;
    int nParsed = ares_parse_a_reply(pAnswer, nLength, nullptr, records, &nRecords);
    // An answer made only of other record types (a CNAME, say) lists nothing.
    if (nParsed == ARES_SUCCESS && nRecords < 1) nParsed = ARES_ENODATA;
    if (nParsed == ARES_SUCCESS) std::memcpy(address.data(), &records[0].ipaddr, address.size());
    return nParsed;
}
