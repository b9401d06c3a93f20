// A service manager's notify protocol (systemd's): state lines such as "READY=1" or
// "STATUS=text", separated by LF, sent as one datagram to the AF_UNIX socket that NOTIFY_SOCKET
// names (a path, or an abstract name written with a leading "@"), and the watchdog interval the
// manager asks for in WATCHDOG_USEC (meant for this process when WATCHDOG_PID is absent or
// names it).
//
// Without NOTIFY_SOCKET nothing is sent and no watchdog is asked for, so a process started by
// hand behaves as before. Any thread may call: each send makes, uses and closes its own socket.
// A send never waits: one the manager's queue cannot take at once fails. A failed send is not
// retried and changes nothing else; the manager's own time-outs deal with a process it does not
// hear from.
#pragma once

#include <string>

// Sends the state lines as one datagram; false when there is no manager to tell or the send
// failed.
bool NotifyServiceManager(const std::string& strState);

// The watchdog interval in microseconds the manager asked this process for, or 0 for none.
long long ServiceWatchdogUsec();

// "RELOADING=1" with the monotonic clock's reading in microseconds (MONOTONIC_USEC), which newer
// managers ask to come with it, so that a READY=1 sent before the reload is not taken for its end.
std::string ReloadingState();
