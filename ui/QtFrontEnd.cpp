#include "ui/QtFrontEnd.h"

#include "host/GatewayApp.h"
#include "ui/ConfigDlg.h"
#include "ui/ControlWnd.h"
#include "ui/MonitorDlg.h"

CQtFrontEnd::CQtFrontEnd() : m_isTrayAvailable(&QSystemTrayIcon::isSystemTrayAvailable) {}

CQtFrontEnd::~CQtFrontEnd() = default;

std::unique_ptr<IMonitorWindow> CQtFrontEnd::CreateMonitorWindow(CGatewayApp& app) {
    return std::make_unique<CMonitorDlg>(app);
}

void CQtFrontEnd::CreateControlWindow(CGatewayApp& app) {
    if (!m_pControl) m_pControl = std::make_unique<CControlWnd>(app, m_isTrayAvailable);
    m_pControl->UpdateTrayIcon(NIM_ADD);
}

void CQtFrontEnd::UpdateTrayIcon(int nAction) {
    if (m_pControl) m_pControl->UpdateTrayIcon(nAction);
}

bool CQtFrontEnd::HasTrayIcon() const { return m_pControl && m_pControl->HasIcon(); }

bool CQtFrontEnd::RunConfigDialog(CGatewayApp& app) {
    CMonitorDlg* pMonitor = MainMonitor(app);
    CConfigDlg dialog(app, pMonitor);
    if (pMonitor != nullptr) dialog.setWindowModality(Qt::WindowModal);
    m_pConfig = &dialog;
    const int nResult = dialog.DoModal();
    m_pConfig = nullptr;
    return nResult == IDOK;
}

void CQtFrontEnd::ShowConfigDialog() {
    if (m_pConfig == nullptr) return;
    m_pConfig->showNormal();
    m_pConfig->raise();
    m_pConfig->activateWindow();
}
