#include "tests/support/Rbldnsd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <sstream>

#include "tests/support/Wait.h"

namespace {
constexpr const char* kQueryLog = "queries.log";
constexpr const char* kOutput = "rbldnsd.out";
constexpr int kStartTimeoutMs = 10000;

// rbldnsd refuses to run as root; as root it runs as its own user, which must then be able to
// read the zone files and write the query log.
const passwd* ServerUser() {
    if (geteuid() != 0) return nullptr;
    const passwd* pUser = getpwnam("rbldns");
    return pUser != nullptr ? pUser : getpwnam("nobody");
}

// A type-A query for strName with id 0x7a7a, as a DNS client would send it.
std::string QueryPacket(const std::string& strName) {
    std::string strPacket("\x7a\x7a\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);
    std::istringstream labels(strName);
    for (std::string strLabel; std::getline(labels, strLabel, '.');) {
        if (strLabel.empty()) continue;
        strPacket += static_cast<char>(strLabel.size());
        strPacket += strLabel;
    }
    strPacket += std::string("\x00\x00\x01\x00\x01", 5);
    return strPacket;
}

// Sends one query to 127.0.0.1:nPort and waits up to nWaitMs for any answer.
bool AnswersQuery(int nPort, const std::string& strName, int nWaitMs) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(nPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string strPacket = QueryPacket(strName);
    bool bAnswered = false;
    if (sendto(fd, strPacket.data(), strPacket.size(), 0, reinterpret_cast<sockaddr*>(&address),
               sizeof address) >= 0) {
        pollfd entry{fd, POLLIN, 0};
        char reply[512];
        bAnswered = poll(&entry, 1, nWaitMs) == 1 && recv(fd, reply, sizeof reply, 0) > 0;
    }
    close(fd);
    return bAnswered;
}
}  // namespace

std::string CRbldnsd::WriteZoneFile(const std::string& strContent) {
    const std::string strName = "zone" + std::to_string(++m_nFiles);
    WriteFileBytes(m_dir.File(strName), strContent);
    chmod(m_dir.File(strName).c_str(), 0644);
    return strName;
}

// The IPv6 addresses go to an ip6trie dataset of the same zone, which rbldnsd asks as well.
void CRbldnsd::AddZone(const std::string& strZone, const std::vector<std::string>& addresses,
                       const std::string& strAnswer) {
    const std::string strHead = ":" + strAnswer + ":\n";
    std::string strContent = strHead, strContent6 = strHead;
    for (const std::string& strAddress : addresses)
        (strAddress.find(':') != std::string::npos ? strContent6 : strContent) += strAddress + "\n";
    m_zoneSpecs.push_back(strZone + ":ip4set:" + WriteZoneFile(strContent));
    if (strContent6 != strHead)
        m_zoneSpecs.push_back(strZone + ":ip6trie:" + WriteZoneFile(strContent6));
}

void CRbldnsd::AddNames(const std::string& strZone, const std::vector<std::string>& names,
                        const std::string& strAnswer) {
    std::string strContent;
    for (const std::string& strName : names) strContent += strName + " A " + strAnswer + "\n";
    m_zoneSpecs.push_back(strZone + ":generic:" + WriteZoneFile(strContent));
}

std::string CRbldnsd::AddDataset(const std::string& strZone, const std::string& strText) {
    const std::string strName = WriteZoneFile(strText);
    m_zoneSpecs.push_back(strZone + ":ip4set:" + strName);
    return strName;
}

// rbldnsd loads a file again when its modification time has changed, which a rewrite within the
// same second would not show: the time is moved on explicitly. It says "zones reloaded" when done.
bool CRbldnsd::RewriteDataset(const std::string& strDataset, const std::string& strText) {
    const std::string strPath = m_dir.File(strDataset);
    struct stat before {};
    if (stat(strPath.c_str(), &before) != 0) return false;
    WriteFileBytes(strPath, strText);
    const timespec times[2] = {{before.st_mtime + 10, 0}, {before.st_mtime + 10, 0}};
    if (utimensat(AT_FDCWD, strPath.c_str(), times, 0) != 0) return false;
    const auto Reloads = [this] {
        const std::string strOutput = Output();
        size_t nCount = 0;
        for (size_t n = 0; (n = strOutput.find("zones reloaded", n)) != std::string::npos; ++n)
            ++nCount;
        return nCount;
    };
    const size_t nBefore = Reloads();
    m_process.Signal(SIGHUP);
    return WaitUntil([&] { return Reloads() > nBefore; });
}

bool CRbldnsd::Start() {
    if (const passwd* pUser = ServerUser()) {
        chmod(m_dir.Path().c_str(), 0755);
        if (chown(m_dir.Path().c_str(), pUser->pw_uid, pUser->pw_gid) != 0) return false;
    }
    // The free port may be taken between our look and rbldnsd's bind: try a few.
    for (int nAttempt = 0; nAttempt < 5; ++nAttempt)
        if (StartOn(FreeUdpPort())) return true;
    return false;
}

bool CRbldnsd::StartOn(int nPort) {
    Stop();
    m_nPort = nPort;
    std::vector<std::string> argv{"rbldnsd", "-n",
                                  "-w",      m_dir.Path(),
                                  "-b",      "127.0.0.1/" + std::to_string(nPort),
                                  "-l",      std::string("+") + kQueryLog};
    if (const passwd* pUser = ServerUser()) argv.insert(argv.end(), {"-u", pUser->pw_name});
    argv.insert(argv.end(), m_zoneSpecs.begin(), m_zoneSpecs.end());
    return m_process.Start(argv, "", {}, m_dir.File(kOutput)) &&
           WaitUntilAnswering(kStartTimeoutMs);
}

// rbldnsd binds before it loads its zones and answers only once they are loaded, so any
// answer means it is ready.
bool CRbldnsd::WaitUntilAnswering(int nTimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!m_process.Running()) return false;
        if (AnswersQuery(m_nPort, "ready.probe.invalid", 200)) return true;
    }
    return false;
}

void CRbldnsd::Stop() { m_process.Stop(); }

std::string CRbldnsd::Nameserver() const { return "127.0.0.1:" + std::to_string(m_nPort); }

// Query log lines read "<time> <client> <name> <type> <class>: <result>".
std::vector<std::string> CRbldnsd::QueriedNames() const {
    std::vector<std::string> names;
    std::istringstream log(ReadFileBytes(m_dir.File(kQueryLog)));
    for (std::string strLine; std::getline(log, strLine);) {
        std::istringstream fields(strLine);
        std::string strTime, strClient, strName;
        if (!(fields >> strTime >> strClient >> strName)) continue;
        if (strName == "ready.probe.invalid") continue;
        if (!strName.empty() && strName.back() == '.') strName.pop_back();
        names.push_back(strName);
    }
    return names;
}

std::string CRbldnsd::Output() const { return ReadFileBytes(m_dir.File(kOutput)); }
