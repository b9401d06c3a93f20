#include "tests/support/MailServer.h"

#include <sstream>

bool CMailServer::StartAiosmtpd() {
    m_nPort = FreeTcpPort();
    return StartServer(
        {"/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l", "127.0.0.1:" + std::to_string(m_nPort)});
}

bool CMailServer::StartSink() {
    m_nPort = FreeTcpPort();
    return StartServer({TARNWICK_MAIL_SINK, std::to_string(m_nPort)});
}

bool CMailServer::StartProxyAiosmtpd() {
    m_nPort = FreeTcpPort();
    return StartServer({"/usr/bin/python3", TARNWICK_SOURCE_DIR "/tests/support/proxy_smtpd.py",
                        std::to_string(m_nPort), m_dir.File("messages")});
}

std::vector<std::string> CMailServer::ProxyMessages() const {
    std::vector<std::string> lines;
    std::istringstream messages(ReadFileBytes(m_dir.File("messages")));
    for (std::string strLine; std::getline(messages, strLine);) lines.push_back(strLine);
    return lines;
}

bool CMailServer::StartServer(const std::vector<std::string>& argv) {
    return m_process.Start(argv, m_dir.Path(), {"PYTHONUNBUFFERED=1"}, m_dir.File("output")) &&
           WaitForTcpListener(m_nPort, 15000);
}

std::string CMailServer::Output() const { return ReadFileBytes(m_dir.File("output")); }
