#include "platform/ProcessControl.h"

#include <spawn.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>

extern char** environ;

bool StartProgramNoWait(const std::string& strPath, const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& strArg : argv) args.push_back(const_cast<char*>(strArg.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    return posix_spawn(&pid, strPath.c_str(), nullptr, nullptr, args.data(), environ) == 0;
}

long RaiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) getrlimit(RLIMIT_NOFILE, &limit);
    }
    return static_cast<long>(limit.rlim_cur);
}

bool IsHeadlessSession() {
    const char* pHeadless = std::getenv("TARNWICK_HEADLESS");
    if (pHeadless != nullptr && std::strcmp(pHeadless, "1") == 0) return true;
    const char* pX11 = std::getenv("DISPLAY");
    const char* pWayland = std::getenv("WAYLAND_DISPLAY");
    return (pX11 == nullptr || *pX11 == '\0') && (pWayland == nullptr || *pWayland == '\0');
}
