// Line assembly and the monitor protocol's words, fed one connection's bytes in blocks split at
// points the input chooses, against a model that sees the whole stream at once: every split of
// the same bytes must give the same lines, the same words and the same QUIT commands.
//
// Input: one byte for the line limit (high bit: the sockets' 20480 bytes, else 1 to 128, so
// that the cut of a line without LF is reached often), one byte for the number of split points,
// two bytes for each, then the stream.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "gateway/LineAssembly.h"
#include "gateway/LineSocket.h"

namespace {
constexpr int kWords = CLineSocket::kWordCount;

struct CLine {
    std::string strLine;
    std::vector<std::string> words;
    bool bQuit = false;
    bool operator==(const CLine& other) const = default;
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The words as a reader of the protocol would take them, character by character.
std::vector<std::string> ModelWords(const std::string& strLine) {
    std::string strText = strLine.substr(0, strLine.find_first_of("\r\n"));
    while (!strText.empty() && IsBlank(strText.back())) strText.pop_back();
    std::vector<std::string> words;
    size_t i = 0;
    while (i < strText.size() && IsBlank(strText[i])) ++i;
    while (i < strText.size() && words.size() < kWords) {
        const size_t nStart = i;
        while (i < strText.size() && strText[i] != ' ') ++i;
        words.push_back(strText.substr(nStart, i - nStart));
        while (i < strText.size() && IsBlank(strText[i])) ++i;
    }
    return words;
}

bool ModelQuit(const std::vector<std::string>& words) {
    if (words.empty() || words[0].size() != 4) return false;
    std::string strUpper;
    for (char c : words[0])
        strUpper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    return strUpper == "QUIT";
}

std::vector<CLine> Model(const std::string& strStream, size_t nMaxLine) {
    std::vector<CLine> lines;
    std::string strLine;
    for (char c : strStream) {
        strLine.push_back(c);
        if (c != '\n' && strLine.size() < nMaxLine) continue;
        CLine line{strLine, ModelWords(strLine)};
        line.bQuit = ModelQuit(line.words);
        lines.push_back(std::move(line));
        strLine.clear();
    }
    return lines;
}

// The gateway's own code, one block after the other, as a socket's line loop runs it.
std::vector<CLine> Assemble(const std::string& strStream, const std::vector<size_t>& cuts,
                            size_t nMaxLine, std::string& strPartial) {
    std::vector<CLine> lines;
    std::string strLine;
    std::string words[kWords];
    size_t nFrom = 0;
    for (size_t nIndex = 0; nIndex <= cuts.size(); ++nIndex) {
        const size_t nTo = nIndex < cuts.size() ? cuts[nIndex] : strStream.size();
        const char* pBlock = strStream.data() + nFrom;
        const int nCount = static_cast<int>(nTo - nFrom);
        nFrom = nTo;
        int nPosition = 0;
        while (AssembleLine(strPartial, strLine, pBlock, nCount, nPosition, nMaxLine)) {
            const int nFound = SplitWords(strLine, words, kWords);
            CLine line{strLine, std::vector<std::string>(words, words + nFound)};
            line.bQuit = IsCommandWord(words[0], "QUIT");
            lines.push_back(std::move(line));
            // The entries past the words found are cleared.
            for (int i = nFound; i < kWords; ++i)
                if (!words[i].empty()) std::abort();
        }
        if (nPosition != nCount) std::abort();
    }
    return lines;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    if (nSize < 2) return 0;
    const size_t nMaxLine = (pData[0] & 0x80) ? CLineSocket::kBufferSize : (pData[0] & 0x7F) + 1u;
    const size_t nCuts = pData[1] % 32;
    if (nSize < 2 + 2 * nCuts) return 0;
    const std::string strStream(reinterpret_cast<const char*>(pData) + 2 + 2 * nCuts,
                                nSize - 2 - 2 * nCuts);
    std::vector<size_t> cuts;
    for (size_t i = 0; i < nCuts; ++i) {
        const size_t nPoint = pData[2 + 2 * i] | (pData[3 + 2 * i] << 8);
        cuts.push_back(nPoint % (strStream.size() + 1));
    }
    std::sort(cuts.begin(), cuts.end());
    std::string strPartial;
    const std::vector<CLine> lines = Assemble(strStream, cuts, nMaxLine, strPartial);
    if (lines != Model(strStream, nMaxLine)) std::abort();
    // What is left over is the unfinished last line, and no more than the limit allows.
    size_t nDone = 0;
    for (const CLine& line : lines) nDone += line.strLine.size();
    if (strPartial != strStream.substr(nDone) || strPartial.size() >= nMaxLine) std::abort();
    return 0;
}
