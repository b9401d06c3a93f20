#include "platform/StopSignals.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdlib>

namespace {
sigset_t StopSet() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}
}  // namespace

void CStopSignals::Block() {
    const sigset_t signals = StopSet();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void CStopSignals::EndProcess(int nSignal) {
    signal(nSignal, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, nSignal);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(nSignal);
    std::_Exit(128 + nSignal);  // only when the default action did not end the process
}

CStopSignals::CStopSignals() {
    Block();
    const sigset_t signals = StopSet();
    m_fd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
}

CStopSignals::~CStopSignals() {
    if (m_fd >= 0) close(m_fd);
}

int CStopSignals::Take() {
    if (m_fd < 0) return 0;
    signalfd_siginfo info{};
    if (read(m_fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 0;
    return static_cast<int>(info.ssi_signo);
}

int CStopSignals::Wait(int nTimeoutMs) {
    if (m_fd < 0) {
        usleep(nTimeoutMs * 1000);
        return 0;
    }
    pollfd ready{m_fd, POLLIN, 0};
    if (poll(&ready, 1, nTimeoutMs) <= 0) return 0;
    return Take();
}
