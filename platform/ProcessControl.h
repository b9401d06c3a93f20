// Process-wide services of start-up: starting another program without waiting for it, the limit
// on open descriptors, and whether a desktop is there to show windows on. UI thread.
#pragma once

#include <string>
#include <vector>

// Starts strPath with argv (argv[0] first) and the current environment, without waiting and
// without a search of PATH. False when it could not be started.
bool StartProgramNoWait(const std::string& strPath, const std::vector<std::string>& argv);

// Raises the soft limit on open descriptors to the hard limit: every relay holds two, so the
// usual soft limit of 1024 would cap the gateway near 500 clients. Returns the new soft limit.
long RaiseOpenFileLimit();

// True without a display (neither DISPLAY nor WAYLAND_DISPLAY) or with TARNWICK_HEADLESS=1.
bool IsHeadlessSession();
