// The line assembly every line socket uses: received bytes, in blocks split anywhere, become
// LF-terminated lines, and a line becomes its first few words.
//
// Pure functions over the caller's strings: any thread, no sockets, nothing kept between calls
// but the partial line the caller holds. They never fail. Any byte value, NUL included, is
// carried through; the result depends only on the bytes, never on where the blocks were split.
#pragma once

#include <cstddef>
#include <string>

// Moves bytes from pBuffer[nPosition..nCount) into strPartial up to and including the first LF,
// or until strPartial holds nMaxLine bytes (a line that never ends is cut there instead of
// growing without bound). True when a line is complete: it is then in strLine, and strPartial is
// empty for the next one.
bool AssembleLine(std::string& strPartial, std::string& strLine, const char* pBuffer, int nCount,
                  int& nPosition, std::size_t nMaxLine);

// The words of a line, up to its first CR or LF: blank-separated (runs of white space between
// words count once; a word may hold other white space, such as a tab), white space trimmed at
// both ends, at most nWords of them; the rest of the line is ignored. Returns how many were
// found; the other entries are cleared.
int SplitWords(const std::string& strLine, std::string* pWords, int nWords);

// The word is the keyword, in any letter case, and nothing more (a NUL inside the word counts as
// a character of it, as on the wire).
bool IsCommandWord(const std::string& strWord, const std::string& strKeyword);
