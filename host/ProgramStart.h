// What both programs do at start once they have chosen a front end, and the headless program's
// hand-over to the desktop program.
//
// tarnwk is built without Qt, so that the gateway's package needs no desktop libraries; the
// desktop run (monitor window, tray icon, dialogs) is the program tarnwk-desktop, built beside
// tarnwk and installed under TARNWICK_DESKTOP_PROGRAM by its own package. On a desktop session
// tarnwk replaces itself with that program (execv: the same process id, arguments and
// environment), so systemd's main process, the single-instance channel and whoever waits for
// tarnwk see one process as before. Failure: none of these throws; a hand-over that cannot
// happen says why on standard error and returns, and the caller runs headless.
//
// UI thread, at start, before any other thread exists.
#pragma once

#include <string>

#include "host/FrontEnd.h"

// Where the desktop package installs the desktop program.
extern const char* const kInstalledDesktopProgram;

// Runs the gateway with frontEnd and the command line; returns the program's exit status.
int RunGateway(IFrontEnd& frontEnd, int argc, char** argv);

// The desktop program for the program at strSelf: tarnwk-desktop in strSelf's folder (a build
// folder), else strInstalled; "" when neither is an executable file.
std::string FindDesktopProgram(const std::string& strSelf, const std::string& strInstalled);

// Replaces this process with the desktop program found for this one (the installed one is
// kInstalledDesktopProgram), passing argv unchanged. Returns only when there is none or it
// could not be started; a notice on standard error then says that the run goes on headless.
void HandOverToDesktop(char** argv);
