#include "gateway/LineAssembly.h"

#include <strings.h>

#include <algorithm>

namespace {
constexpr const char* kWhiteSpace = " \t\n\v\f\r";

void TrimBoth(std::string& strText) {
    const size_t nLast = strText.find_last_not_of(kWhiteSpace);
    strText.erase(nLast == std::string::npos ? 0 : nLast + 1);
    strText.erase(0, strText.find_first_not_of(kWhiteSpace));
}
}  // namespace

bool AssembleLine(std::string& strPartial, std::string& strLine, const char* pBuffer, int nCount,
                  int& nPosition, std::size_t nMaxLine) {
    bool bComplete = false;
    while (nPosition < nCount && !bComplete) {
        const char cByte = pBuffer[nPosition++];
        strPartial.push_back(cByte);
        bComplete = cByte == '\n' || strPartial.size() >= nMaxLine;
    }
    if (!bComplete) return false;
    strLine.swap(strPartial);
    strPartial.clear();
    return true;
}

int SplitWords(const std::string& strLine, std::string* pWords, int nWords) {
    int nFound = 0;
    std::string strRest = strLine.substr(0, strLine.find_first_of("\r\n"));
    TrimBoth(strRest);
    for (int i = 0; i < nWords; ++i) pWords[i].clear();
    while (!strRest.empty() && nFound < nWords) {
        const size_t nLength = std::min(strRest.find(' '), strRest.size());
        pWords[nFound++] = strRest.substr(0, nLength);
        strRest.erase(0, nLength);
        TrimBoth(strRest);
    }
    return nFound;
}

bool IsCommandWord(const std::string& strWord, const std::string& strKeyword) {
    return strWord.size() == strKeyword.size() &&
           strncasecmp(strWord.data(), strKeyword.data(), strWord.size()) == 0;
}
