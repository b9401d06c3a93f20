// Test peers run as child processes (rbldnsd, mail servers, the tarnwk binary), loopback ports
// for them, and the descriptors a test may open.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A child process; killed (SIGTERM, then SIGKILL) and reaped when the object goes.
class CChildProcess {
public:
    CChildProcess() = default;
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Starts argv[0] (a bare name is found by PeerPath) in folder strCwd ("" = ours), with extra
    // environment entries "NAME=value". Standard output and error go to strLogFile when given.
    // A program that is not installed fails the running test with a message naming it (also
    // written to strLogFile), and nothing is started.
    bool Start(const std::vector<std::string>& argv, const std::string& strCwd = "",
               const std::vector<std::string>& environment = {},
               const std::string& strLogFile = "");
    bool Running();
    void Signal(int nSignal);
    // Waits for the exit, up to nTimeoutMs; returns the exit status (or 128 + signal), -1 on
    // time-out.
    int Wait(int nTimeoutMs);
    void Stop();
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_nStatus = -1;
};

// The full path of the program strName: looked for on PATH, then where Debian installs programs
// (/usr/sbin, /usr/bin, /sbin, /bin, and /usr/local's), since an ordinary user's PATH often
// leaves out the sbin folders that hold rbldnsd and haproxy. A name with a slash is taken as
// it is. "" when there is no such executable.
std::string PeerPath(const std::string& strName);

// Raises this process's soft limit on open descriptors to its hard limit (children started
// afterwards inherit it), for a test that opens many. "" when nNeeded descriptors may now be
// open; otherwise why not, naming the hard limit, for the test to skip with:
//   if (const std::string strWhy = RaiseDescriptorLimit(2200); !strWhy.empty())
//       GTEST_SKIP() << strWhy;
std::string RaiseDescriptorLimit(int nNeeded);

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreeTcpPort();
// A UDP port on 127.0.0.1 that nothing is bound to right now.
int FreeUdpPort();
// Waits until something accepts TCP connections on 127.0.0.1:nPort, up to nTimeoutMs.
bool WaitForTcpListener(int nPort, int nTimeoutMs);

// A TCP port of 127.0.0.1 that refuses connections while fdHolder (set here, closed by the
// caller) stays open: bound and never listening, so no other program can listen there meanwhile.
int RefusingTcpPort(int& fdHolder);

// A TCP port of 127.0.0.1 whose connects never complete while fdHolder and fdFiller (set here,
// closed by the caller) stay open: a listener that never accepts, its one-place queue taken by
// the filler connection, so that later SYNs are dropped. 0 on failure.
int StalledTcpPort(int& fdHolder, int& fdFiller);

// Listens on TCP port nPort of every local address, so that nothing else can bind it; the
// descriptor, or -1.
int TakeTcpPort(int nPort);

// The number of descriptors this process has open.
int OpenDescriptors();

// Runs fn in a forked child, as user nobody when bUnprivileged and we are root; the child's exit
// status is fn's result (128 + signal when it was killed).
int RunInChild(const std::function<int()>& fn, bool bUnprivileged = false);
