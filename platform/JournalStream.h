// Syslog priorities for lines written to standard output or standard error when the journal
// reads them.
//
// systemd connects a service's standard output and error to the journal through a stream
// socket and names that socket in JOURNAL_STREAM ("device:inode", in decimal). The journal
// reads a line that begins with "<N>" as a line of priority N, so reports can be told from
// activity there (journalctl -p err). Only a descriptor that is that very socket gets the
// prefix: a terminal, a pipe or a file the process was handed otherwise (a shell's redirection
// inside the service, a child given the variable but another output) gets its lines as they
// are.
//
// Any thread may call. Whether a standard stream is the journal's is found once per process and
// kept (the variable and the descriptors do not change while it runs); nothing fails: without a
// readable variable, or with a descriptor that cannot be examined, no prefix is added.
#pragma once

#include <string>

// The priorities used: a report, and an activity line.
constexpr int kJournalError = 3;
constexpr int kJournalInfo = 6;

// True when the descriptor is the stream JOURNAL_STREAM's value ("device:inode") names.
bool IsJournalStream(int fd, const char* pszJournalStream);

// strLines (whole lines, each ending in LF) with "<nPriority>" before each line when fd (standard
// output or standard error) is the journal's stream; otherwise strLines unchanged.
std::string JournalLines(int fd, int nPriority, const std::string& strLines);
