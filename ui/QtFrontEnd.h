// CQtFrontEnd: the desktop front end. The monitor window (CMonitorDlg), the hidden control
// window with the tray icon (CControlWnd), and the configuration dialog (CConfigDlg), which
// during the run is owned by the monitor window and modal to it alone, so that the tray icon
// stays usable while it is open (a second Configure brings it to the front).
//
// Made on the UI thread of a process that has a CDesktop, after it and destroyed before it,
// together with the control window and its icon.
#pragma once

#include <functional>
#include <memory>

#include "host/FrontEnd.h"

class CConfigDlg;
class CControlWnd;

class CQtFrontEnd : public IFrontEnd {
public:
    CQtFrontEnd();
    ~CQtFrontEnd() override;  // the control window and its icon go

    std::unique_ptr<IMonitorWindow> CreateMonitorWindow(CGatewayApp& app) override;
    void CreateControlWindow(CGatewayApp& app) override;
    void UpdateTrayIcon(int nAction) override;
    bool HasTrayIcon() const override;
    bool RunConfigDialog(CGatewayApp& app) override;
    void ShowConfigDialog() override;

    // Null before CreateControlWindow.
    CControlWnd* ControlWindow() const { return m_pControl.get(); }
    // The configuration dialog while it is open, else null.
    CConfigDlg* OpenConfigDialog() const { return m_pConfig; }

    // Whether the desktop has a notification area now (asked by the control window).
    std::function<bool()> m_isTrayAvailable;

private:
    std::unique_ptr<CControlWnd> m_pControl;
    CConfigDlg* m_pConfig = nullptr;
};
