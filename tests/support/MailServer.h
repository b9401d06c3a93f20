// Real mail servers for end-to-end tests, run as child processes on a free loopback port:
// aiosmtpd (Debian's Python 3, printing each message it takes) and our own mail_sink (fast, keeps
// nothing: tests/peers/mail_sink.cpp).
// Test thread only; the server is stopped when the object goes.
#pragma once

#include <string>

#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

class CMailServer {
public:
    // Starts the server and waits until it accepts connections; false when it did not.
    bool StartAiosmtpd();
    bool StartSink();
    // The name earlier tests use for StartSink.
    bool StartSmtpSink() { return StartSink(); }
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
