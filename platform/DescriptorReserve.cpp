#include "platform/DescriptorReserve.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

CDescriptorReserve::~CDescriptorReserve() {
    ReleaseSpare();
    if (m_fdChannel >= 0) close(m_fdChannel);
}

// The spare only holds a slot and is never used: a duplicate of the channel's socket, or
// /dev/null without one.
bool CDescriptorReserve::Make(bool bChannel, bool bSpare) {
    if (bChannel && m_fdChannel < 0) {
        m_fdChannel = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (m_fdChannel < 0) return false;
    }
    if (!bSpare) return true;
    if (m_fdSpare < 0) {
        m_fdSpare = m_fdChannel >= 0 ? fcntl(m_fdChannel, F_DUPFD_CLOEXEC, 0)
                                     : open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    return m_fdSpare >= 0;
}

int CDescriptorReserve::TakeChannelSocket() {
    const int fd = m_fdChannel;
    m_fdChannel = -1;
    return fd;
}

void CDescriptorReserve::ReleaseSpare() {
    if (m_fdSpare >= 0) close(m_fdSpare);
    m_fdSpare = -1;
}

bool CDescriptorBudget::IsFarFromLimit(size_t nHeldByConnections) {
    if (m_nChecksLeft == 0) {
        rlimit limit{};
        m_nLimit = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                       ? static_cast<size_t>(limit.rlim_cur)
                       : 0;
        m_nChecksLeft = kChecksPerRead;
    }
    --m_nChecksLeft;
    return nHeldByConnections + kAllowance < m_nLimit;
}
