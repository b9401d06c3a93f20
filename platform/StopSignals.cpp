#include "platform/StopSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace {
int g_fdWrite = -1;

void OnStopSignal(int nSignal) {
    const int nSavedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(nSignal);
    (void)!write(g_fdWrite, &byte, 1);  // a full pipe already holds a signal to take
    errno = nSavedErrno;
}

// The read end of the pipe, with the handler installed; -1 when the pipe cannot be made.
int InstallHandler() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
    g_fdWrite = fds[1];
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    return fds[0];
}
}  // namespace

CStopSignals::CStopSignals() {
    static std::once_flag s_once;
    static int s_fdRead = -1;
    std::call_once(s_once, [] { s_fdRead = InstallHandler(); });
    m_fd = s_fdRead;
}

int CStopSignals::Take() {
    unsigned char byte = 0;
    if (m_fd < 0 || read(m_fd, &byte, 1) != 1) return 0;
    return byte;
}
