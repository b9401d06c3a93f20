#include "host/GatewayCommandLineInfo.h"

#include "platform/MessageBox.h"

void CGatewayCommandLineInfo::ParseParam(const std::string& strParam, bool /*bFlag*/,
                                         bool /*bLast*/) {
    const std::string strWord = UpperCaseWord(strParam);
    if (!m_strParams.empty()) m_strParams += ' ';
    m_strParams += strWord;

    if (strWord == "SERVICE" || strWord == "START") return;
    if (strWord == "STOP") {
        if (m_bIsNT)
            AfxMessageBox("Tarnwk Service Stopped.", "Tarnwick", MB_OK,
                          MB_ICONINFORMATION | MB_SETFOREGROUND);
        m_bExit = 1;
    } else if (strWord == "DEBUG") {
        m_bDebug = 1;
    } else if (strWord == "CONFIG") {
        m_bConfig = 1;
    } else if (strWord == "UNINSTALL") {
        m_bUninstall = 1;
    } else {
        AfxMessageBox(kUsage, "Message", MB_OK, MB_ICONNONE);
        m_bExit = 1;
    }
}
