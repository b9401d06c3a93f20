// CLoggingApp::ReportError: the one way a failure is reported.
#include <cstdio>

#include "logging/LoggingApp.h"
#include "platform/MessageBox.h"
#include "platform/System.h"

std::string CLoggingApp::ComposeErrorMessage(int nCode, const std::string& strText) const {
    if (nCode == 0) return strText;
    std::string strMessage = strText + " Error " + std::to_string(nCode) + "\n";
    if (m_bIsNT) strMessage += SystemErrorText(nCode);
    return strMessage;
}

void CLoggingApp::ReportError(int nCode, const std::string& strText) {
    const std::string strMessage = ComposeErrorMessage(nCode, strText);
    if (m_bIsNT) WriteEventLogError(strMessage);
    AfxMessageBox(strMessage, "Error", MB_OK, MB_ICONNONE);
    LogLine(strMessage);
}
