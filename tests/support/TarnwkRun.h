// The tarnwk binary run in a temporary folder with a registry hive of its own, headless unless
// told otherwise. Each run writes its standard output and error to "<run>.out" and "<run>.err"
// in the folder it runs in.
#pragma once

#include <string>
#include <vector>

#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

// The shutdown entry as the log file holds it, after the stamp.
extern const std::string kShutdownLines;

class CTarnwkFolder {
public:
    static constexpr int kDeadlineMs = 30000;

    // The settings key holding these value lines ("Name"="text"\n ...).
    void WriteHive(const std::string& strValues);
    // Starts strBinary with args in strFolder ("" = this folder), its soft descriptor limit at 256.
    bool Start(CChildProcess& child, const std::string& strRun,
               const std::vector<std::string>& args, const std::string& strFolder = "",
               std::vector<std::string> environment = {});
    // Runs to the end; the exit status.
    int Run(const std::string& strRun, const std::vector<std::string>& args,
            std::vector<std::string> environment = {});

    std::string Err(const std::string& strRun) { return ReadFileBytes(dir.File(strRun + ".err")); }
    std::string Out(const std::string& strRun) { return ReadFileBytes(dir.File(strRun + ".out")); }
    std::string Log(const std::string& strFolder = "");

    CTempDir dir;
    // The program run: the build's tarnwk unless a test copies it elsewhere.
    std::string strBinary = TARNWK_BINARY;
    std::string strHive = dir.File("registry.reg");
    // False: the run gets no TARNWICK_HEADLESS, so it uses the DISPLAY it is given.
    bool bHeadless = true;
};
