#include "host/ProgramStart.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/GatewayApp.h"

#ifndef TARNWICK_DESKTOP_PROGRAM
#define TARNWICK_DESKTOP_PROGRAM "/usr/libexec/tarnwick/tarnwk-desktop"
#endif

const char* const kInstalledDesktopProgram = TARNWICK_DESKTOP_PROGRAM;

namespace {
constexpr const char* kDesktopName = "tarnwk-desktop";

// This program's own file: the link /proc/self/exe names, else argv[0] when it holds a folder
// (a chroot without /proc).
std::string SelfPath(const char* pszArgv0) {
    char szPath[4096];
    const ssize_t nLength = readlink("/proc/self/exe", szPath, sizeof szPath - 1);
    if (nLength > 0) return std::string(szPath, static_cast<size_t>(nLength));
    if (pszArgv0 != nullptr && std::strchr(pszArgv0, '/') != nullptr) return pszArgv0;
    return "";
}

bool IsExecutableFile(const std::string& strPath) {
    struct stat info {};
    return !strPath.empty() && stat(strPath.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(strPath.c_str(), X_OK) == 0;
}

void SayHeadless(const std::string& strWhy) {
    std::fprintf(stderr, "Tarnwick: %s; running without windows, as with TARNWICK_HEADLESS=1.\n",
                 strWhy.c_str());
    std::fflush(stderr);
}
}  // namespace

int RunGateway(IFrontEnd& frontEnd, int argc, char** argv) {
    CGatewayApp app;
    app.SetFrontEnd(&frontEnd);
    app.SetCommandLine(argc, argv);
    app.InitInstance();
    return app.ExitCode();
}

std::string FindDesktopProgram(const std::string& strSelf, const std::string& strInstalled) {
    const size_t nSlash = strSelf.rfind('/');
    if (nSlash != std::string::npos) {
        const std::string strBeside = strSelf.substr(0, nSlash + 1) + kDesktopName;
        if (IsExecutableFile(strBeside)) return strBeside;
    }
    return IsExecutableFile(strInstalled) ? strInstalled : "";
}

void HandOverToDesktop(char** argv) {
    const std::string strProgram = FindDesktopProgram(SelfPath(argv[0]), kInstalledDesktopProgram);
    if (strProgram.empty()) {
        SayHeadless("the desktop front end (" TARNWICK_DESKTOP_PROGRAM
                    ", package tarnwick-gui) is not installed");
        return;
    }
    execv(strProgram.c_str(), argv);
    SayHeadless("the desktop front end " + strProgram + " cannot be started (" +
                std::strerror(errno) + ")");
}
