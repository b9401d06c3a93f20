// What the host asks of the desktop: the monitor window, the control window with its tray icon,
// and the configuration dialog. The Qt desktop implements these in ui/; CHeadlessFrontEnd stands
// in without a display. main() picks one and hands it to the application object, which uses it
// on the UI thread only (the monitor window's IMainWindow share may be called from either
// thread, see platform/MainWindow.h). Nothing here reports failures: a window that cannot be
// shown leaves the gateway running without it.
#pragma once

#include <memory>

#include "platform/MainWindow.h"

// The tray icon's actions.
enum TrayIconAction { NIM_ADD = 0, NIM_MODIFY = 1, NIM_DELETE = 2 };

class IMonitorWindow : public IMainWindow {
public:
    // The modal run: returns when the window closes (the user's exit, the control window's Exit,
    // SIGINT or SIGTERM, or by itself once the application's m_bStopRequested is set). Every
    // wait in it pumps.
    virtual void RunModal() = 0;
    // Another instance's nudges: activate the window, then show it.
    virtual void Activate() = 0;
    virtual void ShowWindow() = 0;
};

class IFrontEnd {
public:
    virtual ~IFrontEnd() = default;
    virtual std::unique_ptr<IMonitorWindow> CreateMonitorWindow() = 0;
    // The hidden control window with the tray icon (added); it lives until the process ends.
    virtual void CreateControlWindow() = 0;
    // Redraws (NIM_MODIFY) or removes (NIM_DELETE) the icon; nothing before the control window.
    virtual void UpdateTrayIcon(int nAction) = 0;
    // True while the icon stands in a notification area, so that the monitor window can hide
    // and still be reached.
    virtual bool HasTrayIcon() const { return false; }
    // Runs the configuration dialog modally: true when it closed with OK (settings saved).
    virtual bool RunConfigDialog() = 0;
    // Brings the configuration dialog that is open (RunConfigDialog has not returned) to the
    // front.
    virtual void ShowConfigDialog() {}
};
