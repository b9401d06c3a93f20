#include "ui/ControlWnd.h"

#include <QCursor>
#include <QMenu>

#include "host/GatewayApp.h"
#include "ui/Menu.h"
#include "ui/MonitorDlg.h"
#include "ui/resources/Resources.h"

CControlWnd::CControlWnd(CGatewayApp& app, std::function<bool()> isTrayAvailable)
    : m_app(app),
      m_isTrayAvailable(std::move(isTrayAvailable)),
      m_pIcon(new QSystemTrayIcon(this)),
      m_pMenu(CreatePopupMenu(IDR_TRAY_MENU, 0, this)) {
    setWindowTitle(QString::fromUtf8(CGatewayApp::kTitle));
    setWindowIcon(LoadAppIcon(IDR_MAINFRAME));
    connect(m_pIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { OnTrayNotify(reason); });
}

CMonitorDlg* MainMonitor(const CGatewayApp& app) {
    return dynamic_cast<CMonitorDlg*>(app.m_pMainWnd.load());
}

void CControlWnd::UpdateTrayIcon(int nAction) {
    const bool bRunning = m_app.m_bGatewayElsewhere == 0;
    if (nAction == NIM_ADD) {
        if (!m_isTrayAvailable()) return;
        m_bIconAdded = true;
    }
    if (!m_bIconAdded) return;
    if (nAction == NIM_DELETE) {
        m_pIcon->hide();
        m_bIconAdded = false;
        return;
    }
    m_pIcon->setIcon(LoadAppIcon(bRunning ? IDR_MAINFRAME : IDI_STOPPED));
    m_pIcon->setToolTip(QString::fromUtf8(bRunning ? kRunningTip : kStoppedTip));
    if (nAction == NIM_ADD) m_pIcon->show();
}

bool CControlWnd::HasIcon() const { return m_bIconAdded && m_isTrayAvailable(); }

void CControlWnd::OnTrayNotify(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick) {
        if (CMonitorDlg* pMonitor = MainMonitor(m_app)) pMonitor->ShowWindow();
    } else if (reason == QSystemTrayIcon::Context || reason == QSystemTrayIcon::MiddleClick) {
        TrackPopupMenu();
    }
}

// The service item never serves here: it always reads "Service Not Enabled", greyed.
void CControlWnd::TrackPopupMenu() {
    if (auto* pService = m_pMenu->findChild<QAction*>(QString::number(ID_SERVICE))) {
        pService->setText(QStringLiteral("Service Not Enabled"));
        pService->setEnabled(false);
    }
    if (QAction* pChosen = m_pMenu->exec(QCursor::pos()))
        OnControlCommand(pChosen->objectName().toInt());
}

void CControlWnd::OnControlCommand(int nCommand) {
    if (nCommand == ID_CONFIGURE) m_app.Configure(true);
    if (nCommand == ID_EXIT) {
        if (CMonitorDlg* pMonitor = MainMonitor(m_app)) pMonitor->Close();
    }
}
