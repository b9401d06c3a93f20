#include "tests/support/Process.h"

#include "tests/support/TempDir.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

namespace {
// Where Debian installs programs, looked at after PATH.
constexpr const char* kProgramFolders[] = {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin",
                                           "/usr/bin",        "/sbin",          "/bin"};

bool IsExecutableFile(const std::string& strPath) {
    struct stat status {};
    return stat(strPath.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           access(strPath.c_str(), X_OK) == 0;
}
}  // namespace

std::string PeerPath(const std::string& strName) {
    if (strName.find('/') != std::string::npos)
        return IsExecutableFile(strName) ? strName : std::string();
    std::vector<std::string> folders;
    std::istringstream path(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
    for (std::string strFolder; std::getline(path, strFolder, ':');)
        if (!strFolder.empty()) folders.push_back(strFolder);
    folders.insert(folders.end(), std::begin(kProgramFolders), std::end(kProgramFolders));
    for (const std::string& strFolder : folders)
        if (IsExecutableFile(strFolder + "/" + strName)) return strFolder + "/" + strName;
    return "";
}

std::string RaiseDescriptorLimit(int nNeeded) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return "the descriptor limit cannot be read";
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur >= static_cast<rlim_t>(nNeeded)) return "";
    return "needs " + std::to_string(nNeeded) +
           " open descriptors; the hard limit (ulimit -Hn) is " + std::to_string(limit.rlim_max);
}

CChildProcess::~CChildProcess() { Stop(); }

bool CChildProcess::Start(const std::vector<std::string>& argv, const std::string& strCwd,
                          const std::vector<std::string>& environment,
                          const std::string& strLogFile) {
    m_nStatus = -1;
    const std::string strProgram = argv.empty() ? std::string() : PeerPath(argv[0]);
    if (strProgram.empty()) {
        const std::string strWhy =
            (argv.empty() ? std::string("(no program)") : argv[0]) +
            " is not installed: not found on PATH nor in /usr/sbin, /usr/bin, /sbin or /bin "
            "(scripts/install-deps.sh installs what the tests need)";
        if (!strLogFile.empty()) WriteFileBytes(strLogFile, strWhy + "\n");
        ADD_FAILURE() << strWhy;
        return false;
    }
    m_pid = fork();
    if (m_pid < 0) return false;
    if (m_pid == 0) {
        if (!strCwd.empty() && chdir(strCwd.c_str()) != 0) _exit(126);
        for (const std::string& entry : environment) putenv(strdup(entry.c_str()));
        if (!strLogFile.empty()) {
            const int fd = open(strLogFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
                close(fd);
            }
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(strProgram.c_str(), args.data());
        _exit(127);
    }
    return true;
}

bool CChildProcess::Running() { return m_pid > 0 && Wait(0) == -1; }

void CChildProcess::Signal(int nSignal) {
    if (m_pid > 0) kill(m_pid, nSignal);
}

int CChildProcess::Wait(int nTimeoutMs) {
    if (m_pid <= 0) return m_nStatus;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    for (;;) {
        int nStatus = 0;
        if (waitpid(m_pid, &nStatus, WNOHANG) == m_pid) {
            m_pid = -1;
            m_nStatus = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
            return m_nStatus;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void CChildProcess::Stop() {
    if (m_pid <= 0) return;
    Signal(SIGTERM);
    if (Wait(3000) == -1) {
        Signal(SIGKILL);
        Wait(3000);
    }
}

namespace {
sockaddr_in Loopback(int nPort) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(nPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// The lowest port the kernel hands out for outgoing connections (32768 by default).
int FirstEphemeralPort() {
    int nFirst = 32768, nLast = 60999;
    if (FILE* pFile = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        if (std::fscanf(pFile, "%d %d", &nFirst, &nLast) != 2) nFirst = 32768;
        std::fclose(pFile);
    }
    return nFirst;
}

bool CanBind(int nType, int nPort) {
    const int fd = socket(AF_INET, nType | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(nPort);
    const bool bFree = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bFree;
}

// A port below the range the kernel takes outgoing connections' ports from: a port handed out
// there (the kernel's own choice for port 0) can be taken by any test's next connection before
// the server that was meant to have it binds it, and a connect to such a port with nothing
// listening can even connect the socket to itself. Chosen at random, so that tests running at
// the same time rarely try the same one.
int FreePort(int nType) {
    static std::mutex s_lock;
    static std::mt19937 s_random(std::random_device{}() ^ static_cast<unsigned>(getpid()));
    std::lock_guard<std::mutex> guard(s_lock);
    const int nFirst = 10000, nLast = std::max(nFirst + 1000, FirstEphemeralPort()) - 1;
    std::uniform_int_distribution<int> pick(nFirst, nLast);
    for (int nTry = 0; nTry < 1000; ++nTry) {
        const int nPort = pick(s_random);
        if (CanBind(nType, nPort)) return nPort;
    }
    return 0;
}
}  // namespace

int FreeTcpPort() { return FreePort(SOCK_STREAM); }
int FreeUdpPort() { return FreePort(SOCK_DGRAM); }

int OpenDescriptors() {
    int nCount = 0;
    if (DIR* pDir = opendir("/proc/self/fd")) {
        while (readdir(pDir) != nullptr) ++nCount;
        closedir(pDir);
    }
    return nCount;
}

bool WaitForTcpListener(int nPort, int nTimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = Loopback(nPort);
        const bool bConnected =
            connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (bConnected) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int RefusingTcpPort(int& fdHolder) {
    fdHolder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t nLength = sizeof address;
    if (bind(fdHolder, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fdHolder, reinterpret_cast<sockaddr*>(&address), &nLength) != 0)
        return 0;
    return ntohs(address.sin_port);
}

int StalledTcpPort(int& fdHolder, int& fdFiller) {
    fdFiller = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int nPort = RefusingTcpPort(fdHolder);
    const sockaddr_in address = Loopback(nPort);
    if (nPort == 0 || listen(fdHolder, 0) != 0 ||
        connect(fdFiller, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return 0;
    return nPort;
}

int TakeTcpPort(int nPort) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(nPort));
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd, 1) == 0)
        return fd;
    close(fd);
    return -1;
}

int RunInChild(const std::function<int()>& fn, bool bUnprivileged) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (bUnprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(99);
        _exit(fn());
    }
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
}
