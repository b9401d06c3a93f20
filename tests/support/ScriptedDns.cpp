#include "tests/support/ScriptedDns.h"

#include "tests/support/Wait.h"

bool CScriptedDns::Start() {
    const std::string strPortFile = m_dir.File("port");
    if (!m_process.Start(
            {"/usr/bin/python3", TARNWICK_SOURCE_DIR "/tests/support/scripted_dns.py", strPortFile},
            "", {}, m_dir.File("output")))
        return false;
    if (!WaitUntil([&] { return !ReadFileBytes(strPortFile).empty(); })) return false;
    m_nPort = std::stoi(ReadFileBytes(strPortFile));
    return true;
}
