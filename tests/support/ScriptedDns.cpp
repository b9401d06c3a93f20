#include "tests/support/ScriptedDns.h"

#include <sstream>

#include "tests/support/Wait.h"

bool CScriptedDns::Start() {
    const std::string strPortFile = m_dir.File("port");
    if (!m_process.Start({"/usr/bin/python3", TARNWICK_SOURCE_DIR "/tests/support/scripted_dns.py",
                          strPortFile, m_dir.File("queries")},
                         "", {}, m_dir.File("output")))
        return false;
    if (!WaitUntil([&] { return !ReadFileBytes(strPortFile).empty(); })) return false;
    m_nPort = std::stoi(ReadFileBytes(strPortFile));
    return true;
}

std::vector<std::string> CScriptedDns::QueriedNames() const {
    std::vector<std::string> names;
    std::istringstream in(ReadFileBytes(m_dir.File("queries")));
    for (std::string strName; std::getline(in, strName);) names.push_back(strName);
    return names;
}
