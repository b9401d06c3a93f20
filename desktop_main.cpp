// tarnwk-desktop: the SMTP screening gateway on the desktop (monitor window, tray icon, dialogs),
// started by tarnwk in its own process when a desktop session is there. When the display cannot
// be opened after all, or it is run without one, it runs headless as tarnwk does.
#include "host/HeadlessFrontEnd.h"
#include "host/ProgramStart.h"
#include "host/SettingsCheck.h"
#include "platform/ProcessControl.h"
#include "ui/Desktop.h"
#include "ui/QtFrontEnd.h"

int main(int argc, char** argv) {
    if (IsSettingsCheck(argc, argv)) return RunSettingsCheck();
    if (!IsHeadlessSession()) {
        if (std::unique_ptr<CDesktop> pDesktop = CDesktop::Open(argv[0])) {
            // The front end's windows and icon go before the desktop.
            CQtFrontEnd desktop;
            return RunGateway(desktop, argc, argv);
        }
    }
    CHeadlessFrontEnd headless;
    return RunGateway(headless, argc, argv);
}
