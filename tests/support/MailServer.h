// Real mail servers for end-to-end tests, run as child processes on a free loopback port:
// aiosmtpd (Debian's Python 3, printing each message it takes) and our own mail_sink (fast, keeps
// nothing: tests/peers/mail_sink.cpp).
// Test thread only; the server is stopped when the object goes.
#pragma once

#include <string>
#include <vector>

#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

class CMailServer {
public:
    // Starts the server and waits until it accepts connections; false when it did not.
    bool StartAiosmtpd();
    bool StartSink();
    // The name earlier tests use for StartSink.
    bool StartSmtpSink() { return StartSink(); }
    // aiosmtpd taking a PROXY protocol header first, on 127.0.0.1 and ::1
    // (tests/support/proxy_smtpd.py); ProxyMessages gives what it took.
    bool StartProxyAiosmtpd();
    // One line per message the PROXY-taking server took: "version client-address client-port
    // destination-address destination-port peer-address message-in-hex".
    std::vector<std::string> ProxyMessages() const;
    void Stop() { m_process.Stop(); }
    int Port() const { return m_nPort; }
    // What the server printed (aiosmtpd prints every message it receives).
    std::string Output() const;

private:
    bool StartServer(const std::vector<std::string>& argv);

    CTempDir m_dir;
    CChildProcess m_process;
    int m_nPort = 0;
};
