#include "platform/System.h"

#include <fcntl.h>
#include <locale.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

// openlog, syslog and closelog share the process's one connection, and closelog forgets the
// ident: two threads reporting at once would otherwise send records under the program's name.
void WriteEventLogError(const std::string& strMessage) {
    static std::mutex s_lock;
    std::lock_guard<std::mutex> guard(s_lock);
    openlog("Tarnwick", LOG_PID, LOG_DAEMON);
    syslog(LOG_ERR, "%s", strMessage.c_str());
    closelog();
}

std::string SystemErrorText(int nCode) {
    char buffer[256];
    const char* pText = strerror_r(nCode, buffer, sizeof buffer);
    // glibc answers "Unknown error N" for codes it has no text for.
    if (pText == nullptr || std::strncmp(pText, "Unknown error", 13) == 0) return {};
    return pText;
}

std::string LogStamp() {
    static const locale_t s_posix = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[64];
    const size_t n = strftime_l(buffer, sizeof buffer, "%x %H:%M", &local, s_posix);
    return std::string(buffer, n);
}

long long NowMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string CurrentDirectory() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

int OpenRegularFile(const std::string& strPath) {
    // Non-blocking, so that a FIFO is opened at once and can be refused.
    const int fd = open(strPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info {};
    int nErrno = 0;
    if (fstat(fd, &info) != 0)
        nErrno = errno;
    else if (!S_ISREG(info.st_mode))
        nErrno = EINVAL;
    if (nErrno == 0) return fd;
    close(fd);
    errno = nErrno;
    return -1;
}

bool PlatformIsNT() {
    const char* pValue = std::getenv("TARNWICK_PLATFORM");
    return pValue != nullptr && strcasecmp(pValue, "nt") == 0;
}

void IgnoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }
