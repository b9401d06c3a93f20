#include "platform/CommandLineInfo.h"

#include <locale.h>

#include <climits>
#include <cwchar>
#include <cwctype>

void ParseCommandLine(int argc, const char* const* argv, CCommandLineInfo& info) {
    for (int i = 1; i < argc; ++i) {
        std::string strParam = argv[i];
        const bool bFlag = !strParam.empty() && (strParam[0] == '-' || strParam[0] == '/');
        if (bFlag) strParam.erase(0, 1);
        info.ParseParam(strParam, bFlag, i == argc - 1);
    }
}

std::string UpperCaseWord(const std::string& strWord) {
    static const locale_t s_locale = [] {
        locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
        return locale ? locale : newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
    }();
    const locale_t previous = uselocale(s_locale);
    std::string strUpper;
    std::mbstate_t state{};
    size_t nPos = 0;
    while (nPos < strWord.size()) {
        wchar_t wide = 0;
        const size_t nLength =
            std::mbrtowc(&wide, strWord.data() + nPos, strWord.size() - nPos, &state);
        if (nLength == 0 || nLength > strWord.size() - nPos) {  // a zero byte or no character
            strUpper += strWord[nPos++];
            state = std::mbstate_t{};
            continue;
        }
        char buffer[MB_LEN_MAX];
        std::mbstate_t out{};
        const size_t nOut = std::wcrtomb(buffer, static_cast<wchar_t>(std::towupper(wide)), &out);
        if (nOut == static_cast<size_t>(-1))
            strUpper.append(strWord, nPos, nLength);
        else
            strUpper.append(buffer, nOut);
        nPos += nLength;
    }
    uselocale(previous);
    return strUpper;
}
