#include "tests/support/TarnwkRun.h"

const std::string kShutdownLines = " : Shutting Down Tarnwick\r\n" + std::string(56, '-') + "\r\n";

void CTarnwkFolder::WriteHive(const std::string& strValues) {
    WriteFileBytes(strHive,
                   "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenfield\\Tarnwick]\n" + strValues);
}

bool CTarnwkFolder::Start(CChildProcess& child, const std::string& strRun,
                          const std::vector<std::string>& args, const std::string& strFolder,
                          std::vector<std::string> environment) {
    const std::string strCwd = strFolder.empty() ? dir.Path() : strFolder;
    std::vector<std::string> argv{
        "sh", "-c", "ulimit -Sn 256; exec \"$0\" \"$@\" 2>" + strRun + ".err", strBinary};
    argv.insert(argv.end(), args.begin(), args.end());
    environment.push_back("TARNWICK_REGISTRY=" + strHive);
    if (bHeadless) environment.push_back("TARNWICK_HEADLESS=1");
    return child.Start(argv, strCwd, environment, strCwd + "/" + strRun + ".out");
}

int CTarnwkFolder::Run(const std::string& strRun, const std::vector<std::string>& args,
                       std::vector<std::string> environment) {
    CChildProcess child;
    if (!Start(child, strRun, args, "", std::move(environment))) return -1;
    return child.Wait(kDeadlineMs);
}

std::string CTarnwkFolder::Log(const std::string& strFolder) {
    return ReadFileBytes((strFolder.empty() ? dir.Path() : strFolder) + "/Tarnwk.log");
}
