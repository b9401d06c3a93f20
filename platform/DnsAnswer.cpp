#include "platform/DnsAnswer.h"

#include <ares.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {
constexpr int kHeaderBytes = 12;
constexpr int kQuestionFixedBytes = 4;  // type, class
constexpr int kRecordFixedBytes = 10;   // type, class, time to live, data length
constexpr int kSoaFixedBytes = 20;      // serial, refresh, retry, expire, minimum
constexpr int kTypeCname = 5;
constexpr int kTypeSoa = 6;
constexpr int kClassIn = 1;
// Enough for any answer that fits a UDP datagram of 512 bytes (16 bytes per compressed record).
constexpr int kMostRecords = 64;

enum class CStep { Whole, CutShort, Malformed };

int Read16(const unsigned char* p) { return (p[0] << 8) | p[1]; }

// A time to live as resolvers read it: one with the top bit set counts as 0.
std::uint32_t ReadTtl(const unsigned char* p) {
    const std::uint32_t nValue = static_cast<std::uint32_t>(p[0]) << 24 |
                                 static_cast<std::uint32_t>(p[1]) << 16 |
                                 static_cast<std::uint32_t>(p[2]) << 8 | p[3];
    return nValue > 0x7FFFFFFF ? 0 : nValue;
}

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

// Steps over the question section at nPos.
CStep SkipQuestions(const unsigned char* pAnswer, int nLength, int& nPos) {
    for (int i = 0; i < Read16(pAnswer + 4); ++i) {
        if (const CStep step = SkipName(pAnswer, nLength, nPos); step != CStep::Whole) return step;
        nPos += kQuestionFixedBytes;
        if (nPos > nLength) return CStep::CutShort;
    }
    return CStep::Whole;
}

// Steps over one resource record at nPos; nFixed is where its fixed part (type, class, time to
// live, data length) starts, its data following.
CStep SkipRecord(const unsigned char* pAnswer, int nLength, int& nPos, int& nFixed) {
    if (const CStep step = SkipName(pAnswer, nLength, nPos); step != CStep::Whole) return step;
    nFixed = nPos;
    if (nPos + kRecordFixedBytes > nLength) return CStep::CutShort;
    nPos += kRecordFixedBytes + Read16(pAnswer + nPos + 8);
    return nPos > nLength ? CStep::CutShort : CStep::Whole;
}

// Whether the name at nPos, followed through its compression pointers, reads a byte of the
// header. No name starts there, but c-ares follows such a pointer all the same. A malformed
// name or a pointer loop answers false: c-ares' parser refuses it.
bool NameReadsHeader(const unsigned char* pAnswer, int nLength, int nPos) {
    // Without a loop, a name passes each pointer of the buffer once at most.
    for (int nPointers = 0; nPos < nLength && nPointers <= nLength / 2;) {
        const int nLabel = pAnswer[nPos];
        if (nLabel == 0 || (nLabel & 0xC0) == 0x40 || (nLabel & 0xC0) == 0x80) return false;
        if ((nLabel & 0xC0) == 0xC0) {
            if (nPos + 1 >= nLength) return false;
            nPos = (nLabel & 0x3F) << 8 | pAnswer[nPos + 1];
            if (nPos < kHeaderBytes) return true;
            ++nPointers;
        } else {
            nPos += 1 + nLabel;
        }
    }
    return false;
}

// The number of answer records the buffer holds whole when it ends inside the answer section;
// -1 when it holds them all, or is broken some other way (c-ares' parser then judges it).
// A cut answer is read from a copy whose answer count says how many records it holds, so a
// name that c-ares would read through a pointer into the header (the question's, a held
// record's owner, a held CNAME's target) would read that changed count and give another name
// than the answer the server sent: such an answer is left to c-ares as it is, which refuses it.
int RecordsBeforeTheCut(const unsigned char* pAnswer, int nLength) {
    if (nLength < kHeaderBytes) return -1;
    int nPos = kHeaderBytes;
    bool bReadsHeader = NameReadsHeader(pAnswer, nLength, nPos);
    if (SkipQuestions(pAnswer, nLength, nPos) != CStep::Whole) return -1;
    for (int i = 0; i < Read16(pAnswer + 6); ++i) {
        int nFixed = 0;
        const int nOwner = nPos;
        const CStep step = SkipRecord(pAnswer, nLength, nPos, nFixed);
        if (step == CStep::Malformed) return -1;
        if (step == CStep::CutShort) return bReadsHeader ? -1 : i;
        bReadsHeader = bReadsHeader || NameReadsHeader(pAnswer, nLength, nOwner) ||
                       (Read16(pAnswer + nFixed) == kTypeCname &&
                        NameReadsHeader(pAnswer, nLength, nFixed + kRecordFixedBytes));
    }
    return -1;
}

// The negative time to live of an answer that says the name does not exist: its authority
// section's SOA record's own time to live or its MINIMUM field, whichever is smaller.
std::optional<std::uint32_t> NegativeTtl(const unsigned char* pAnswer, int nLength) {
    if (pAnswer == nullptr || nLength < kHeaderBytes) return std::nullopt;
    int nPos = kHeaderBytes;
    if (SkipQuestions(pAnswer, nLength, nPos) != CStep::Whole) return std::nullopt;
    const int nAnswers = Read16(pAnswer + 6), nAuthority = Read16(pAnswer + 8);
    for (int i = 0; i < nAnswers + nAuthority; ++i) {
        int nFixed = 0;
        if (SkipRecord(pAnswer, nLength, nPos, nFixed) != CStep::Whole) return std::nullopt;
        const unsigned char* pRecord = pAnswer + nFixed;
        if (i < nAnswers || Read16(pRecord) != kTypeSoa || Read16(pRecord + 2) != kClassIn)
            continue;
        // Two names (the primary server and the mailbox), then the five numbers, fill its data.
        int nData = nFixed + kRecordFixedBytes;
        if (SkipName(pAnswer, nPos, nData) != CStep::Whole ||
            SkipName(pAnswer, nPos, nData) != CStep::Whole || nData + kSoaFixedBytes != nPos)
            return std::nullopt;
        return std::min(ReadTtl(pRecord + 4), ReadTtl(pAnswer + nPos - 4));
    }
    return std::nullopt;
}

// The A records of a successful answer, with c-ares' parser; its status.
int ReadRecords(const unsigned char* pAnswer, int nLength, std::vector<CDnsRecordA>& records) {
    // A cut answer claims more records than it holds, and c-ares would refuse it whole: it is
    // read as the answer of the records it holds.
    std::vector<unsigned char> trimmed;
    if (const int nHeld = RecordsBeforeTheCut(pAnswer, nLength); nHeld >= 0) {
        trimmed.assign(pAnswer, pAnswer + nLength);
        trimmed[6] = static_cast<unsigned char>(nHeld >> 8);
        trimmed[7] = static_cast<unsigned char>(nHeld & 0xFF);
        pAnswer = trimmed.data();
    }
    ares_addrttl found[kMostRecords];
    int nFound = kMostRecords;
    int nParsed = ares_parse_a_reply(pAnswer, nLength, nullptr, found, &nFound);
    // An answer made only of other record types (a CNAME, say) lists nothing.
    if (nParsed == ARES_SUCCESS && nFound < 1) nParsed = ARES_ENODATA;
    if (nParsed != ARES_SUCCESS) return nParsed;
    for (int i = 0; i < nFound; ++i) {
        CDnsRecordA record{{}, static_cast<std::uint32_t>(std::max(found[i].ttl, 0))};
        std::memcpy(record.address.data(), &found[i].ipaddr, record.address.size());
        records.push_back(record);
    }
    return ARES_SUCCESS;
}
}  // namespace

CDnsAnswer ReadDnsAnswer(int nStatus, const unsigned char* pAnswer, int nLength) {
    CDnsAnswer answer;
    answer.nStatus = nStatus;
    if (nStatus == ARES_ENOTFOUND) answer.negativeTtl = NegativeTtl(pAnswer, nLength);
    if (nStatus != ARES_SUCCESS) return answer;
    if (pAnswer == nullptr || nLength < kHeaderBytes) {
        answer.nStatus = ARES_EBADRESP;
        return answer;
    }
    answer.nStatus = ReadRecords(pAnswer, nLength, answer.records);
    return answer;
}

int DnsAnswerA(int nStatus, const unsigned char* pAnswer, int nLength,
               std::array<std::uint8_t, 4>& address) {
    const CDnsAnswer answer = ReadDnsAnswer(nStatus, pAnswer, nLength);
    if (answer.nStatus == ARES_SUCCESS) address = answer.records.front().address;
    return answer.nStatus;
}
