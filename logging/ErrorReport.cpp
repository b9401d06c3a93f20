// CActivityLog::ReportError: the one way a failure is reported.
#include <cstdio>

#include "logging/ActivityLog.h"
#include "platform/MessageBox.h"
#include "platform/System.h"

std::string CActivityLog::ComposeErrorMessage(int nCode, const std::string& strText) const {
    if (nCode == 0) return strText;
    std::string strMessage = strText + " Error " + std::to_string(nCode) + "\n";
    if (m_bIsNT) strMessage += SystemErrorText(nCode);
    return strMessage;
}

// On the UI thread the box is answered before the report returns. Another thread (the listener)
// never waits for a person: its line is logged at once and its box shown while it goes on.
void CActivityLog::ReportError(int nCode, const std::string& strText,
                               std::function<void()> onDismissed) {
    const std::string strMessage = ComposeErrorMessage(nCode, strText);
    if (m_bIsNT) WriteEventLogError(strMessage);
    if (!m_app.IsUiThread()) {
        LogLine(strMessage);
        MessageBoxService().Notify(strMessage, "Error", std::move(onDismissed));
        return;
    }
    AfxMessageBox(strMessage, "Error", MB_OK, MB_ICONNONE);
    LogLine(strMessage);
    if (onDismissed) onDismissed();
}
