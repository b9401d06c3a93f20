#include "tests/support/MailServer.h"

#include <unistd.h>

bool CMailServer::StartAiosmtpd() {
    m_nPort = FreeTcpPort();
    return StartServer(
        {"/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l", "127.0.0.1:" + std::to_string(m_nPort)});
}

bool CMailServer::StartSmtpSink() {
    m_nPort = FreeTcpPort();
    std::vector<std::string> argv{"smtp-sink"};
    if (geteuid() == 0) argv.insert(argv.end(), {"-u", "nobody"});
    argv.insert(argv.end(), {"127.0.0.1:" + std::to_string(m_nPort), "256"});
    return StartServer(argv);
}

bool CMailServer::StartServer(const std::vector<std::string>& argv) {
    return m_process.Start(argv, m_dir.Path(), {"PYTHONUNBUFFERED=1"}, m_dir.File("output")) &&
           WaitForTcpListener(m_nPort, 15000);
}

std::string CMailServer::Output() const { return ReadFileBytes(m_dir.File("output")); }
