#include "platform/Registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr const char* kHeader = "REGEDIT4";
constexpr const char* kRootPrefix = "HKEY_LOCAL_MACHINE\\";

struct CHiveKey {
    std::string strPath;  // below HKEY_LOCAL_MACHINE
    std::vector<CRegistryValue> values;
};

using CHive = std::vector<CHiveKey>;

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

// errno values as the registry's result codes; EIO would otherwise read as access denied (5).
long CodeForErrno(int nErrno) {
    switch (nErrno) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case EIO:
            return ERROR_IO_DEVICE;
        default:
            return nErrno;
    }
}

std::string FolderOf(const std::string& strPath) {
    const size_t nSlash = strPath.find_last_of('/');
    if (nSlash == std::string::npos) return ".";
    return nSlash == 0 ? "/" : strPath.substr(0, nSlash);
}

std::string HomeFolder() {
    if (const char* pHome = std::getenv("HOME"); pHome && *pHome) return pHome;
    const passwd* pEntry = getpwuid(geteuid());
    return pEntry && pEntry->pw_dir ? pEntry->pw_dir : "/";
}

// ---- parsing ----

// A quoted name or text starting at nPos (at the opening quote); nPos ends after the closing one.
// Only \\ and \" are escapes; any other backslash stands for itself.
bool ParseQuoted(const std::string& strLine, size_t& nPos, std::string& strOut) {
    if (nPos >= strLine.size() || strLine[nPos] != '"') return false;
    strOut.clear();
    for (++nPos; nPos < strLine.size(); ++nPos) {
        const char c = strLine[nPos];
        if (c == '"') {
            ++nPos;
            return true;
        }
        if (c == '\\' && nPos + 1 < strLine.size() &&
            (strLine[nPos + 1] == '\\' || strLine[nPos + 1] == '"'))
            ++nPos;
        strOut += strLine[nPos];
    }
    return false;
}

bool ParseDword(const std::string& strText, std::string& data) {
    if (strText.size() < 1 || strText.size() > 8) return false;
    std::uint32_t nValue = 0;
    for (char c : strText) {
        const char* pDigits = "0123456789abcdef";
        const char* pFound = std::strchr(pDigits, std::tolower(static_cast<unsigned char>(c)));
        if (c == '\0' || pFound == nullptr) return false;
        nValue = nValue * 16 + static_cast<std::uint32_t>(pFound - pDigits);
    }
    data.assign(4, '\0');
    for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((nValue >> (8 * i)) & 0xFF);
    return true;
}

bool ParseValueLine(const std::string& strLine, CRegistryValue& value) {
    size_t nPos = 0;
    if (!ParseQuoted(strLine, nPos, value.strName) || value.strName.empty()) return false;
    if (nPos >= strLine.size() || strLine[nPos] != '=') return false;
    ++nPos;
    if (strLine.compare(nPos, 6, "dword:") == 0) {
        value.nType = REG_DWORD;
        return ParseDword(strLine.substr(nPos + 6), value.data);
    }
    value.nType = REG_SZ;
    return ParseQuoted(strLine, nPos, value.data) && nPos == strLine.size();
}

void PutValue(std::vector<CRegistryValue>& values, CRegistryValue value) {
    for (CRegistryValue& existing : values) {
        if (SameName(existing.strName, value.strName)) {
            existing = std::move(value);
            return;
        }
    }
    values.push_back(std::move(value));
}

CHiveKey& FindOrAddKey(CHive& hive, const std::string& strPath) {
    for (CHiveKey& key : hive)
        if (SameName(key.strPath, strPath)) return key;
    hive.push_back(CHiveKey{strPath, {}});
    return hive.back();
}

bool ParseSection(const std::string& strLine, std::string& strPath) {
    if (strLine.size() < 2 || strLine.back() != ']') return false;
    strPath = strLine.substr(1, strLine.size() - 2);
    const size_t nPrefix = std::strlen(kRootPrefix);
    if (strPath.size() <= nPrefix || strncasecmp(strPath.c_str(), kRootPrefix, nPrefix) != 0)
        return false;
    strPath.erase(0, nPrefix);
    return true;
}

// The REGEDIT4 header, then sections and their values; blank lines and ";" comments are skipped.
bool ParseHive(const std::string& strText, CHive& hive) {
    bool bHeader = false;
    CHiveKey* pKey = nullptr;
    size_t nStart = 0;
    while (nStart < strText.size()) {
        size_t nEnd = strText.find('\n', nStart);
        if (nEnd == std::string::npos) nEnd = strText.size();
        std::string strLine = strText.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
        if (strLine.empty() || strLine[0] == ';') continue;
        if (!bHeader) {
            if (strLine != kHeader) return false;
            bHeader = true;
        } else if (strLine[0] == '[') {
            std::string strPath;
            if (!ParseSection(strLine, strPath)) return false;
            pKey = &FindOrAddKey(hive, strPath);
        } else {
            CRegistryValue value;
            if (pKey == nullptr || !ParseValueLine(strLine, value)) return false;
            PutValue(pKey->values, std::move(value));
        }
    }
    return bHeader;
}

// Reads and parses the hive; a missing hive is an empty one (result 2 tells the caller).
long ReadHive(const std::string& strPath, CHive& hive) {
    hive.clear();
    const int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return CodeForErrno(errno);
    std::string strText;
    char buffer[8192];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int nErrno = errno;
            close(fd);
            return CodeForErrno(nErrno);
        }
        strText.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return ParseHive(strText, hive) ? ERROR_SUCCESS : ERROR_BADDB;
}

// ---- writing ----

std::string Escaped(const std::string& strText) {
    std::string strOut;
    for (char c : strText) {
        if (c == '\\' || c == '"') strOut += '\\';
        strOut += c;
    }
    return strOut;
}

std::string FormatValue(const CRegistryValue& value) {
    std::string strLine = "\"" + Escaped(value.strName) + "\"=";
    if (value.nType != REG_DWORD) return strLine + "\"" + Escaped(value.data) + "\"\n";
    std::uint32_t nNumber = 0;
    for (size_t i = 0; i < 4 && i < value.data.size(); ++i)
        nNumber |= static_cast<std::uint32_t>(static_cast<unsigned char>(value.data[i])) << (8 * i);
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08x", nNumber);
    return strLine + "dword:" + digits + "\n";
}

std::string FormatHive(const CHive& hive) {
    std::string strText = std::string(kHeader) + "\n";
    for (const CHiveKey& key : hive) {
        strText += "\n[" + std::string(kRootPrefix) + key.strPath + "]\n";
        for (const CRegistryValue& value : key.values) strText += FormatValue(value);
    }
    return strText;
}

// Makes the folder and its parents, like mkdir -p.
int MakeFolders(const std::string& strFolder) {
    struct stat info {};
    if (stat(strFolder.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    if (errno != ENOENT) return errno;
    const std::string strParent = FolderOf(strFolder);
    if (strParent != strFolder) {
        if (const int nError = MakeFolders(strParent)) return nError;
    }
    if (mkdir(strFolder.c_str(), 0755) != 0 && errno != EEXIST) return errno;
    return 0;
}

bool WriteAll(int fd, const std::string& strText) {
    size_t nDone = 0;
    while (nDone < strText.size()) {
        const ssize_t n = write(fd, strText.data() + nDone, strText.size() - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        nDone += static_cast<size_t>(n);
    }
    return true;
}

// The new hive goes to a temporary file beside the old one, reaches the disk, then replaces it
// in one rename; the folder is flushed too, so the rename itself survives a crash.
long ReplaceHive(const std::string& strPath, const std::string& strText) {
    const std::string strFolder = FolderOf(strPath);
    if (const int nError = MakeFolders(strFolder)) return CodeForErrno(nError);
    std::string strTemp = strPath + ".XXXXXX";
    const int fd = mkostemp(strTemp.data(), O_CLOEXEC);
    if (fd < 0) return CodeForErrno(errno);
    struct stat old {};
    const mode_t nMode = stat(strPath.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    int nError = 0;
    if (fchmod(fd, nMode) != 0 || !WriteAll(fd, strText) || fsync(fd) != 0) nError = errno;
    if (close(fd) != 0 && nError == 0) nError = errno;
    if (nError == 0 && rename(strTemp.c_str(), strPath.c_str()) != 0) nError = errno;
    if (nError != 0) {
        unlink(strTemp.c_str());
        return CodeForErrno(nError);
    }
    const int fdFolder = open(strFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdFolder >= 0) {
        fsync(fdFolder);
        close(fdFolder);
    }
    return ERROR_SUCCESS;
}

// Whether this process may write the hive: it needs to make files in the hive's folder (or in
// the nearest folder that exists, where the missing ones will be made).
long CheckWritable(const std::string& strPath) {
    std::string strFolder = FolderOf(strPath);
    while (access(strFolder.c_str(), F_OK) != 0 && errno == ENOENT) {
        const std::string strParent = FolderOf(strFolder);
        if (strParent == strFolder) break;
        strFolder = strParent;
    }
    return access(strFolder.c_str(), W_OK | X_OK) == 0 ? ERROR_SUCCESS : CodeForErrno(errno);
}
}  // namespace

std::string RegistryHivePath() {
    if (const char* pPath = std::getenv("TARNWICK_REGISTRY"); pPath && *pPath) return pPath;
    if (geteuid() == 0) return "/etc/tarnwick/registry.reg";
    const char* pConfig = std::getenv("XDG_CONFIG_HOME");
    const std::string strConfig =
        pConfig && pConfig[0] == '/' ? std::string(pConfig) : HomeFolder() + "/.config";
    return strConfig + "/tarnwick/registry.reg";
}

CRegistryKey::CRegistryKey(std::string strHivePath) : m_strHivePath(std::move(strHivePath)) {}

CRegistryKey::~CRegistryKey() { Close(); }

long CRegistryKey::Load(const std::string& strKeyPath) {
    Close();
    CHive hive;
    const long nResult = ReadHive(m_strHivePath, hive);
    if (nResult != ERROR_SUCCESS) return nResult;
    for (CHiveKey& key : hive) {
        if (SameName(key.strPath, strKeyPath)) {
            m_values = std::move(key.values);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

long CRegistryKey::Open(const std::string& strKeyPath) {
    const long nResult = Load(strKeyPath);
    if (nResult != ERROR_SUCCESS) return nResult;
    m_strKeyPath = strKeyPath;
    m_bOpen = true;
    return ERROR_SUCCESS;
}

long CRegistryKey::Create(const std::string& strKeyPath) {
    const long nResult = Load(strKeyPath);
    if (nResult != ERROR_SUCCESS && nResult != ERROR_FILE_NOT_FOUND) return nResult;
    if (const long nWritable = CheckWritable(m_strHivePath)) return nWritable;
    m_strKeyPath = strKeyPath;
    m_bOpen = true;
    m_bDirty = nResult == ERROR_FILE_NOT_FOUND;
    return ERROR_SUCCESS;
}

CRegistryValue* CRegistryKey::FindValue(const std::string& strName) {
    for (CRegistryValue& value : m_values)
        if (SameName(value.strName, strName)) return &value;
    return nullptr;
}

const CRegistryValue* CRegistryKey::FindValue(const std::string& strName) const {
    return const_cast<CRegistryKey*>(this)->FindValue(strName);
}

long CRegistryKey::QueryValue(const std::string& strName, std::string& strData,
                              size_t nBufferSize) const {
    const CRegistryValue* pValue = m_bOpen ? FindValue(strName) : nullptr;
    if (pValue == nullptr) return ERROR_FILE_NOT_FOUND;
    const size_t nNeeded = pValue->data.size() + (pValue->nType == REG_SZ ? 1 : 0);
    if (nNeeded > nBufferSize) return ERROR_MORE_DATA;
    strData = pValue->data;
    return ERROR_SUCCESS;
}

std::vector<std::string> CRegistryKey::ValueNames() const {
    std::vector<std::string> names;
    for (const CRegistryValue& value : m_values) names.push_back(value.strName);
    return names;
}

long CRegistryKey::SetValue(const std::string& strName, const std::string& strText) {
    if (!m_bOpen) return ERROR_INVALID_PARAMETER;
    if (strName.find_first_of("\r\n") != std::string::npos ||
        strText.find_first_of("\r\n") != std::string::npos || strName.empty())
        return ERROR_INVALID_PARAMETER;
    PutValue(m_values, CRegistryValue{strName, REG_SZ, strText});
    m_bDirty = true;
    return ERROR_SUCCESS;
}

long CRegistryKey::SetValue(const std::string& strName, std::uint32_t nNumber) {
    if (!m_bOpen || strName.empty() || strName.find_first_of("\r\n") != std::string::npos)
        return ERROR_INVALID_PARAMETER;
    std::string data(4, '\0');
    for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((nNumber >> (8 * i)) & 0xFF);
    PutValue(m_values, CRegistryValue{strName, REG_DWORD, data});
    m_bDirty = true;
    return ERROR_SUCCESS;
}

// The hive is read afresh, so that keys changed by others since the open are kept; this key's
// values replace the stored ones.
long CRegistryKey::Close() {
    const bool bWrite = m_bOpen && m_bDirty;
    m_bOpen = false;
    m_bDirty = false;
    std::vector<CRegistryValue> values = std::move(m_values);
    m_values.clear();
    if (!bWrite) return ERROR_SUCCESS;
    CHive hive;
    const long nRead = ReadHive(m_strHivePath, hive);
    if (nRead != ERROR_SUCCESS && nRead != ERROR_FILE_NOT_FOUND) return nRead;
    CHiveKey& key = FindOrAddKey(hive, m_strKeyPath);
    for (CRegistryValue& value : values) PutValue(key.values, std::move(value));
    return ReplaceHive(m_strHivePath, FormatHive(hive));
}
