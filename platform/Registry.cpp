#include "platform/Registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/System.h"

namespace {
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

// The hive's text, read only from a regular file and never beyond kMaxHiveBytes and the one byte
// that shows a file bigger; a FIFO, a device or a bigger file does not parse.
long ReadHiveText(const std::string& strPath, std::string& strText) {
    const int fd = OpenRegularFile(strPath);
    if (fd < 0) return errno == EINVAL ? ERROR_BADDB : CodeForErrno(errno);
    struct stat info {};
    if (fstat(fd, &info) == 0 && info.st_size > static_cast<off_t>(kMaxHiveBytes)) {
        close(fd);
        return ERROR_BADDB;
    }
    strText.reserve(static_cast<size_t>(info.st_size));
    char buffer[65536];
    while (strText.size() <= kMaxHiveBytes) {
        const size_t nWanted = std::min(sizeof buffer, kMaxHiveBytes + 1 - strText.size());
        const ssize_t n = read(fd, buffer, nWanted);
        if (n == 0) break;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int nErrno = errno;
            close(fd);
            return CodeForErrno(nErrno);
        }
        strText.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return strText.size() > kMaxHiveBytes ? ERROR_BADDB : ERROR_SUCCESS;
}

// Reads and parses the hive; a missing hive is an empty one (result 2 tells the caller).
long ReadHive(const std::string& strPath, CHive& hive) {
    hive = CHive();
    std::string strText;
    if (const long nResult = ReadHiveText(strPath, strText)) return nResult;
    return ParseHive(strText, hive) ? ERROR_SUCCESS : ERROR_BADDB;
}

// ---- writing ----

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
    CHiveKey* pKey = hive.Find(strKeyPath);
    if (pKey == nullptr) return ERROR_FILE_NOT_FOUND;
    m_values = std::move(pKey->values);
    return ERROR_SUCCESS;
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

long CRegistryKey::QueryValue(const std::string& strName, std::string& strData, size_t nBufferSize,
                              std::uint32_t* pType) const {
    const CRegistryValue* pValue = m_bOpen ? m_values.Find(strName) : nullptr;
    if (pValue == nullptr) return ERROR_FILE_NOT_FOUND;
    if (pType != nullptr) *pType = pValue->nType;
    const size_t nNeeded = pValue->data.size() + (pValue->nType == REG_SZ ? 1 : 0);
    if (nNeeded > nBufferSize) return ERROR_MORE_DATA;
    strData = pValue->data;
    return ERROR_SUCCESS;
}

std::vector<std::string> CRegistryKey::ValueNames() const {
    std::vector<std::string> names;
    for (const CRegistryValue& value : m_values.All()) names.push_back(value.strName);
    return names;
}

long CRegistryKey::SetValue(const std::string& strName, const std::string& strText) {
    if (!m_bOpen) return ERROR_INVALID_PARAMETER;
    if (strName.find_first_of("\r\n") != std::string::npos ||
        strText.find_first_of("\r\n") != std::string::npos || strName.empty())
        return ERROR_INVALID_PARAMETER;
    m_values.Put(CRegistryValue{strName, REG_SZ, strText});
    m_bDirty = true;
    return ERROR_SUCCESS;
}

long CRegistryKey::SetValue(const std::string& strName, std::uint32_t nNumber) {
    if (!m_bOpen || strName.empty() || strName.find_first_of("\r\n") != std::string::npos)
        return ERROR_INVALID_PARAMETER;
    std::string data(4, '\0');
    for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((nNumber >> (8 * i)) & 0xFF);
    m_values.Put(CRegistryValue{strName, REG_DWORD, data});
    m_bDirty = true;
    return ERROR_SUCCESS;
}

// The hive is read afresh, so that keys changed by others since the open are kept; this key's
// values replace the stored ones.
long CRegistryKey::Close() {
    const bool bWrite = m_bOpen && m_bDirty;
    m_bOpen = false;
    m_bDirty = false;
    CHiveValues values = std::move(m_values);
    m_values.Clear();
    if (!bWrite) return ERROR_SUCCESS;
    CHive hive;
    const long nRead = ReadHive(m_strHivePath, hive);
    if (nRead != ERROR_SUCCESS && nRead != ERROR_FILE_NOT_FOUND) return nRead;
    CHiveKey& key = hive.FindOrAdd(m_strKeyPath);
    for (const CRegistryValue& value : values.All()) key.values.Put(value);
    return ReplaceHive(m_strHivePath, FormatHive(hive));
}
