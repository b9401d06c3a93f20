#include "platform/RegistryHive.h"

#include <cstdio>
#include <string_view>

namespace {
constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kRootPrefix = "HKEY_LOCAL_MACHINE\\";

// A quoted name or text starting at nPos (at the opening quote); nPos ends after the closing one.
// Only \\ and \" are escapes; any other backslash stands for itself.
bool ParseQuoted(std::string_view line, size_t& nPos, std::string& strOut) {
    if (nPos >= line.size() || line[nPos] != '"') return false;
    strOut.clear();
    for (++nPos; nPos < line.size(); ++nPos) {
        const char c = line[nPos];
        if (c == '"') {
            ++nPos;
            return true;
        }
        if (c == '\\' && nPos + 1 < line.size() &&
            (line[nPos + 1] == '\\' || line[nPos + 1] == '"'))
            ++nPos;
        strOut += line[nPos];
    }
    return false;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One to eight hexadecimal digits, stored as four bytes, least significant first.
bool ParseDword(std::string_view text, std::string& data) {
    if (text.empty() || text.size() > 8) return false;
    std::uint32_t nValue = 0;
    for (char c : text) {
        const int nDigit = HexDigit(c);
        if (nDigit < 0) return false;
        nValue = nValue * 16 + static_cast<std::uint32_t>(nDigit);
    }
    data.assign(4, '\0');
    for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((nValue >> (8 * i)) & 0xFF);
    return true;
}

bool ParseValueLine(std::string_view line, CRegistryValue& value) {
    size_t nPos = 0;
    if (!ParseQuoted(line, nPos, value.strName) || value.strName.empty()) return false;
    if (nPos >= line.size() || line[nPos] != '=') return false;
    ++nPos;
    if (line.substr(nPos, 6) == "dword:") {
        value.nType = REG_DWORD;
        return ParseDword(line.substr(nPos + 6), value.data);
    }
    value.nType = REG_SZ;
    return ParseQuoted(line, nPos, value.data) && nPos == line.size();
}

bool ParseSection(std::string_view line, std::string& strPath) {
    if (line.size() < 2 || line.back() != ']') return false;
    const std::string_view path = line.substr(1, line.size() - 2);
    if (path.size() <= kRootPrefix.size() ||
        FoldedName(path.substr(0, kRootPrefix.size())) != FoldedName(kRootPrefix))
        return false;
    strPath = path.substr(kRootPrefix.size());
    return true;
}

std::string Escaped(const std::string& strText) {
    std::string strOut;
    strOut.reserve(strText.size() + 2);
    for (char c : strText) {
        if (c == '\\' || c == '"') strOut += '\\';
        strOut += c;
    }
    return strOut;
}

void AppendValue(std::string& strText, const CRegistryValue& value) {
    strText += "\"" + Escaped(value.strName) + "\"=";
    if (value.nType != REG_DWORD) {
        strText += "\"" + Escaped(value.data) + "\"\n";
        return;
    }
    std::uint32_t nNumber = 0;
    for (size_t i = 0; i < 4 && i < value.data.size(); ++i)
        nNumber |= static_cast<std::uint32_t>(static_cast<unsigned char>(value.data[i])) << (8 * i);
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08x", nNumber);
    strText += std::string("dword:") + digits + "\n";
}
}  // namespace

std::string FoldedName(std::string_view name) {
    std::string strFolded(name);
    for (char& c : strFolded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return strFolded;
}

void CHiveValues::Put(CRegistryValue value) {
    const auto [it, bAdded] = m_index.try_emplace(FoldedName(value.strName), m_values.size());
    if (bAdded)
        m_values.push_back(std::move(value));
    else
        m_values[it->second] = std::move(value);
}

const CRegistryValue* CHiveValues::Find(const std::string& strName) const {
    const auto it = m_index.find(FoldedName(strName));
    return it == m_index.end() ? nullptr : &m_values[it->second];
}

void CHiveValues::Clear() {
    m_values.clear();
    m_index.clear();
}

CHiveKey& CHive::FindOrAdd(const std::string& strPath) {
    const auto [it, bAdded] = m_index.try_emplace(FoldedName(strPath), m_keys.size());
    if (bAdded) m_keys.push_back(CHiveKey{strPath, {}});
    return m_keys[it->second];
}

CHiveKey* CHive::Find(const std::string& strPath) {
    const auto it = m_index.find(FoldedName(strPath));
    return it == m_index.end() ? nullptr : &m_keys[it->second];
}

bool ParseHive(const std::string& strText, CHive& hive) {
    const std::string_view text = strText;
    bool bHeader = false;
    CHiveKey* pKey = nullptr;
    size_t nStart = 0;
    while (nStart < text.size()) {
        size_t nEnd = text.find('\n', nStart);
        if (nEnd == std::string_view::npos) nEnd = text.size();
        std::string_view line = text.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line[0] == ';') continue;
        if (!bHeader) {
            if (line != kHeader) return false;
            bHeader = true;
        } else if (line[0] == '[') {
            std::string strPath;
            if (!ParseSection(line, strPath)) return false;
            pKey = &hive.FindOrAdd(strPath);
        } else {
            CRegistryValue value;
            if (pKey == nullptr || !ParseValueLine(line, value)) return false;
            pKey->values.Put(std::move(value));
        }
    }
    return bHeader;
}

std::string FormatHive(const CHive& hive) {
    std::string strText = std::string(kHeader) + "\n";
    for (const CHiveKey& key : hive.Keys()) {
        strText += "\n[" + std::string(kRootPrefix) + key.strPath + "]\n";
        for (const CRegistryValue& value : key.values.All()) AppendValue(strText, value);
    }
    return strText;
}
