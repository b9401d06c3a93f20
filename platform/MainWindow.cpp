#include "platform/MainWindow.h"

size_t AppendToPane(std::string& strPane, const std::string& strText, size_t nMaxText) {
    strPane += strText;
    size_t nCut = 0;
    while (strPane.size() - nCut > nMaxText) {
        const size_t nFeed = strPane.find('\n', nCut);
        if (nFeed == std::string::npos) break;
        nCut = nFeed + 1;
    }
    strPane.erase(0, nCut);
    return nCut;
}
