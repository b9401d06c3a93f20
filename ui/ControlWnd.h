// CControlWnd: the hidden control window of the foreground run, titled "Tarnwick Professional"
// and never shown. It owns the tray icon (running or stopped, with its tip) and the icon's popup
// menu (menu 135), answers the icon's mouse notifications, and carries out the menu's commands:
// Configure, and Exit through the monitor window's own exit path. It reaches the monitor window
// through the application's main-window pointer, looked at anew each time. It is given the
// application object at construction.
//
// Made by the desktop front end on the UI thread and used there only; it lives until the
// process ends its run. An icon that cannot be added (no notification area, as isTrayAvailable
// tells) leaves the gateway running without one; later changes and the removal then do
// nothing.
#pragma once

#include <QSystemTrayIcon>
#include <QWidget>
#include <functional>

class QMenu;
class CMonitorDlg;
class CGatewayApp;

class CControlWnd : public QWidget {
public:
    static constexpr const char* kRunningTip = "Tarnwick Professsional: Running";
    static constexpr const char* kStoppedTip = "Tarnwick Professsional: Stopped";
    enum : int { ID_CONFIGURE = 32773, ID_EXIT = 32776, ID_SERVICE = 32777 };

    CControlWnd(CGatewayApp& app, std::function<bool()> isTrayAvailable);

    // NIM_ADD, NIM_MODIFY or NIM_DELETE, with the icon and tip of the current state.
    void UpdateTrayIcon(int nAction);
    // The icon has been added and stands in a notification area.
    bool HasIcon() const;
    // Double-click shows the monitor window; the right or middle button opens the popup menu
    // (tracked here until it closes); anything else does nothing.
    void OnTrayNotify(QSystemTrayIcon::ActivationReason reason);
    void OnControlCommand(int nCommand);

    QSystemTrayIcon& TrayIcon() { return *m_pIcon; }

private:
    void TrackPopupMenu();

    CGatewayApp& m_app;
    std::function<bool()> m_isTrayAvailable;
    QSystemTrayIcon* m_pIcon;
    QMenu* m_pMenu;
    bool m_bIconAdded = false;
};

// The monitor window of app's run, or null.
CMonitorDlg* MainMonitor(const CGatewayApp& app);
