// A DNS server that misbehaves on purpose (tests/support/scripted_dns.py, run by Debian's Python
// 3 on a free UDP port of 127.0.0.1): what it answers depends on the last octet of the address a
// DNSBL query asks about, as the script's own text lists (71 to 78: cut packets, wrong ids,
// pointer loops, fifty records, CNAME only, SERVFAIL, REFUSED, silence; others NXDOMAIN; the
// test entry 2.0.0.127 listed), and answers names under a zone "waitN..." N milliseconds late.
// Test thread only; stopped when the object goes.
#pragma once

#include <string>
#include <vector>

#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

class CScriptedDns {
public:
    // Starts the server and waits until it has its port; false when it did not.
    bool Start();
    // "127.0.0.1:PORT", as TARNWICK_NAMESERVERS takes it.
    std::string Nameserver() const { return "127.0.0.1:" + std::to_string(m_nPort); }
    // Every name asked so far, oldest first.
    std::vector<std::string> QueriedNames() const;

private:
    CTempDir m_dir;
    CChildProcess m_process;
    int m_nPort = 0;
};
