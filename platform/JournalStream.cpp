#include "platform/JournalStream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

bool IsJournalStream(int fd, const char* pszJournalStream) {
    if (pszJournalStream == nullptr) return false;
    uintmax_t nDevice = 0, nInode = 0;
    int nUsed = 0;
    // The whole value must read: "device:inode" and nothing after it.
    if (std::sscanf(pszJournalStream, "%" SCNuMAX ":%" SCNuMAX "%n", &nDevice, &nInode, &nUsed) !=
            2 ||
        pszJournalStream[nUsed] != '\0')
        return false;
    struct stat info {};
    if (fstat(fd, &info) != 0) return false;
    return static_cast<uintmax_t>(info.st_dev) == nDevice &&
           static_cast<uintmax_t>(info.st_ino) == nInode;
}

namespace {
bool StandardStreamIsJournal(int fd) {
    static const bool s_bOut = IsJournalStream(STDOUT_FILENO, std::getenv("JOURNAL_STREAM"));
    static const bool s_bErr = IsJournalStream(STDERR_FILENO, std::getenv("JOURNAL_STREAM"));
    if (fd == STDOUT_FILENO) return s_bOut;
    if (fd == STDERR_FILENO) return s_bErr;
    return IsJournalStream(fd, std::getenv("JOURNAL_STREAM"));
}
}  // namespace

std::string JournalLines(int fd, int nPriority, const std::string& strLines) {
    if (!StandardStreamIsJournal(fd)) return strLines;
    const std::string strPrefix = "<" + std::to_string(nPriority) + ">";
    std::string strPrefixed;
    strPrefixed.reserve(strLines.size() + strPrefix.size());
    bool bLineStart = true;
    for (const char c : strLines) {
        if (bLineStart) strPrefixed += strPrefix;
        strPrefixed += c;
        bLineStart = c == '\n';
    }
    return strPrefixed;
}
