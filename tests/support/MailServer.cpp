#include "tests/support/MailServer.h"

bool CMailServer::StartAiosmtpd() {
    m_nPort = FreeTcpPort();
    return StartServer(
        {"/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l", "127.0.0.1:" + std::to_string(m_nPort)});
}

bool CMailServer::StartSink() {
    m_nPort = FreeTcpPort();
    return StartServer({TARNWICK_MAIL_SINK, std::to_string(m_nPort)});
}

bool CMailServer::StartServer(const std::vector<std::string>& argv) {
    return m_process.Start(argv, m_dir.Path(), {"PYTHONUNBUFFERED=1"}, m_dir.File("output")) &&
           WaitForTcpListener(m_nPort, 15000);
}

std::string CMailServer::Output() const { return ReadFileBytes(m_dir.File("output")); }
