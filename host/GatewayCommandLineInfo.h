// The gateway's switches: START, STOP, CONFIG, UNINSTALL, DEBUG, SERVICE, in any letter case,
// bare or after one "-" or "/". Every word is recorded, upper-cased, in m_strParams (for the
// hand-off to Tarnwk32); an unrecognised word shows the usage text and ends the program after
// the switches are read. UI thread, at start-up. (CHECK never gets here: main() runs the
// settings check instead of the gateway, host/SettingsCheck.h.)
#pragma once

#include <cstdint>
#include <string>

#include "platform/CommandLineInfo.h"

class CGatewayCommandLineInfo : public CCommandLineInfo {
public:
    static constexpr const char* kUsage =
        "Tarnwick Usage:\n\tTarnwk\t\t\tRun Tarnwick\n\tTarnwk -config\t\tConfigure Settings\n"
        "\tTarnwk -uninstall\t\tUninstall Service\n\tTarnwk -Stop\t\tStop Service";

    // bIsNT: the platform family, which decides whether STOP says so.
    explicit CGatewayCommandLineInfo(bool bIsNT) : m_bIsNT(bIsNT) {}

    std::string m_strParams;
    std::int32_t m_bDebug = 0;
    std::int32_t m_bConfig = 0;
    std::int32_t m_bUninstall = 0;
    std::int32_t m_bExit = 0;

    void ParseParam(const std::string& strParam, bool bFlag, bool bLast) override;

private:
    bool m_bIsNT;
};
