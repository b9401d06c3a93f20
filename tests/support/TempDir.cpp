#include "tests/support/TempDir.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

CTempDir::CTempDir() {
    std::string strTemplate = (std::filesystem::temp_directory_path() / "tarnwick-XXXXXX").string();
    m_strPath = mkdtemp(strTemplate.data()) ? strTemplate : std::string();
}

CTempDir::~CTempDir() {
    std::error_code error;
    if (!m_strPath.empty()) std::filesystem::remove_all(m_strPath, error);
}

std::string ReadFileBytes(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFileBytes(const std::string& strPath, const std::string& strBytes) {
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out << strBytes;
}
