// The command line read switch by switch: ParseCommandLine hands every argument to the given
// CCommandLineInfo's ParseParam, in order, after removing one leading "-" or "/" (then the flag
// marker is set). Subclasses decide what a word means. UI thread, at start-up; nothing fails.
#pragma once

#include <string>

class CCommandLineInfo {
public:
    virtual ~CCommandLineInfo() = default;
    virtual void ParseParam(const std::string& strParam, bool bFlag, bool bLast) = 0;
};

void ParseCommandLine(int argc, const char* const* argv, CCommandLineInfo& info);

// The word upper-cased character by character in the environment's character set (LC_CTYPE),
// so that letters beyond ASCII change case too; bytes that do not decode are kept as they are.
std::string UpperCaseWord(const std::string& strWord);
