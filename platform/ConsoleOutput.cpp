#include "platform/ConsoleOutput.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {
// A descriptor of the same pipe, FIFO or terminal with a file description of its own, which can
// be non-blocking without changing the shared one; -1 when the file cannot be opened anew.
int OpenNonBlocking(int fd) {
    const std::string strPath = "/proc/self/fd/" + std::to_string(fd);
    return open(strPath.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}
}  // namespace

CConsoleOutput::CConsoleOutput(int fd) : m_fd(fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || S_ISREG(info.st_mode)) return;
    if (S_ISSOCK(info.st_mode)) {
        m_eWay = EWay::Send;
        return;
    }
    const int fdOwn = OpenNonBlocking(fd);
    if (fdOwn < 0) {
        m_eWay = EWay::PollFirst;
        return;
    }
    m_fd = fdOwn;
    m_bOwnFd = true;
}

CConsoleOutput::~CConsoleOutput() {
    if (m_bOwnFd) close(m_fd);
}

CConsoleOutput& CConsoleOutput::Out() {
    static CConsoleOutput s_out(STDOUT_FILENO);
    return s_out;
}

CConsoleOutput& CConsoleOutput::Err() {
    static CConsoleOutput s_err(STDERR_FILENO);
    return s_err;
}

void CConsoleOutput::Append(const std::string& strLines) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_bGone) return;
    if (m_nLeftOut > 0 || m_strPending.size() + strLines.size() > kMaxPending)
        return LeaveOut(strLines);
    m_strPending += strLines;
}

void CConsoleOutput::LeaveOut(const std::string& strLines) {
    m_nLeftOut += std::max<size_t>(1, std::count(strLines.begin(), strLines.end(), '\n'));
}

bool CConsoleOutput::Flush() {
    std::lock_guard<std::mutex> guard(m_lock);
    while (!m_bGone && !m_strPending.empty()) {
        if (!WriteSome()) return true;
        if (m_strPending.empty() && m_nLeftOut > 0) {
            m_strPending = "Tarnwick: " + std::to_string(m_nLeftOut) +
                           " lines were left out here: this output was not being read.\n";
            m_nLeftOut = 0;
        }
    }
    return false;
}

bool CConsoleOutput::Write(const std::string& strLines) {
    Append(strLines);
    return Flush();
}

bool CConsoleOutput::Drain(int nTimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (Flush()) {
        const auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                               deadline - std::chrono::steady_clock::now())
                               .count();
        if (nLeft <= 0) return true;
        pollfd ready{m_fd, POLLOUT, 0};
        if (poll(&ready, 1, static_cast<int>(nLeft)) <= 0) return true;
    }
    return false;
}

bool CConsoleOutput::WriteSome() {
    size_t nWant = m_strPending.size();
    if (m_eWay == EWay::PollFirst) {
        // At most PIPE_BUF bytes once poll says the stream takes more: such a write never
        // waits on a pipe.
        pollfd ready{m_fd, POLLOUT, 0};
        if (poll(&ready, 1, 0) != 1 || (ready.revents & POLLOUT) == 0) return false;
        nWant = std::min<size_t>(nWant, PIPE_BUF);
    }
    const ssize_t n = m_eWay == EWay::Send
                          ? send(m_fd, m_strPending.data(), nWant, MSG_DONTWAIT | MSG_NOSIGNAL)
                          : write(m_fd, m_strPending.data(), nWant);
    if (n > 0) {
        m_strPending.erase(0, static_cast<size_t>(n));
        return true;
    }
    if (n < 0 && errno == EINTR) return true;
    if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) return false;
    // The reader has gone (EPIPE) or the stream failed: nothing will ever be read.
    m_bGone = true;
    m_strPending.clear();
    return false;
}
