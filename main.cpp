// tarnwk: the SMTP screening gateway, on the desktop when there is one, headless otherwise;
// "tarnwk CHECK" only checks the settings, without a front end.
#include "host/GatewayApp.h"
#include "host/HeadlessFrontEnd.h"
#include "host/SettingsCheck.h"
#include "platform/ProcessControl.h"
#include "ui/Desktop.h"
#include "ui/QtFrontEnd.h"

namespace {
int Run(IFrontEnd& frontEnd, int argc, char** argv) {
    CGatewayApp app;
    app.SetFrontEnd(&frontEnd);
    app.SetCommandLine(argc, argv);
    app.InitInstance();
    return app.ExitCode();
}
}  // namespace

int main(int argc, char** argv) {
    if (IsSettingsCheck(argc, argv)) return RunSettingsCheck();
    if (!IsHeadlessSession()) {
        if (std::unique_ptr<CDesktop> pDesktop = CDesktop::Open(argv[0])) {
            // The front end's windows and icon go before the desktop.
            CQtFrontEnd desktop;
            return Run(desktop, argc, argv);
        }
    }
    CHeadlessFrontEnd headless;
    return Run(headless, argc, argv);
}
