// What the host asks of the desktop: the monitor window, the control window with its tray icon,
// and the configuration dialog. The Qt desktop implements these in ui/; CHeadlessFrontEnd stands
// in without a display. main() picks one and hands it to the application object, which uses it
// on the UI thread only and passes itself to whatever the front end makes (the monitor window's
// IMainWindow share may be called from either thread, see platform/MainWindow.h). Nothing here
// reports failures: a window that cannot be shown leaves the gateway running without it.
#pragma once

#include <memory>

#include "platform/MainWindow.h"

class CGatewayApp;

// The tray icon's actions.
enum TrayIconAction { NIM_ADD = 0, NIM_MODIFY = 1, NIM_DELETE = 2 };

class IMonitorWindow : public IMainWindow {
public:
    // The modal run: returns when the window closes (the user's exit, the control window's Exit,
    // SIGINT or SIGTERM, or EndRun).
    virtual void RunModal() = 0;
    // Ends the modal run without a question (the gateway went down). UI thread.
    virtual void EndRun() = 0;
    // Another instance's nudges: activate the window, then show it.
    virtual void Activate() = 0;
    virtual void ShowWindow() = 0;
};

class IFrontEnd {
public:
    virtual ~IFrontEnd() = default;
    virtual std::unique_ptr<IMonitorWindow> CreateMonitorWindow(CGatewayApp& app) = 0;
    // The hidden control window with the tray icon (added); it lives until the process ends.
    virtual void CreateControlWindow(CGatewayApp& app) = 0;
    // Redraws (NIM_MODIFY) or removes (NIM_DELETE) the icon; nothing before the control window.
    virtual void UpdateTrayIcon(int nAction) = 0;
    // True while the icon stands in a notification area, so that the monitor window can hide
    // and still be reached.
    virtual bool HasTrayIcon() const { return false; }
    // Runs the configuration dialog modally on a copy of app's settings: true when it closed
    // with OK, its settings then in app.m_settings, to be saved.
    virtual bool RunConfigDialog(CGatewayApp& app) = 0;
    // Brings the configuration dialog that is open (RunConfigDialog has not returned) to the
    // front.
    virtual void ShowConfigDialog() {}
};
