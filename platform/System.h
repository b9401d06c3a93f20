// Small services of the operating system that the gateway needs: the event log, error texts,
// the clock, the current directory, opening settings files, the platform family, and
// process-wide signal set-up.
// All are safe to call from either thread.
#pragma once

#include <string>

// Writes one error record (syslog, ident "Tarnwick", facility daemon). Failures are silent.
void WriteEventLogError(const std::string& strMessage);

// The system's explanation of an errno code, or empty when it has none.
std::string SystemErrorText(int nCode);

// Local date and time as "%x %H:%M" in the POSIX locale, whatever the environment's locale.
std::string LogStamp();

// Milliseconds since the epoch, for timing.
long long NowMilliseconds();

// The current working directory, or empty when it cannot be read.
std::string CurrentDirectory();

// Opens a regular file for reading without ever waiting on it: a FIFO, a device, a directory or
// a socket is refused (a FIFO without a writer would block the open, /dev/zero never ends). The
// descriptor (close-on-exec), or -1 with errno set: the open's own code, or EINVAL when the path
// names something other than a regular file.
int OpenRegularFile(const std::string& strPath);

// True when the process should behave as on the NT family: TARNWICK_PLATFORM=nt.
bool PlatformIsNT();

// Ignores SIGPIPE, so a send to a peer that has gone returns an error instead of ending us.
void IgnoreBrokenPipes();
