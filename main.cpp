// tarnwk: the SMTP screening gateway.
#include "host/GatewayApp.h"
#include "host/HeadlessFrontEnd.h"

int main(int argc, char** argv) {
    CGatewayApp app;
    // The desktop front end comes with the Qt windows; until then every session is headless
    // (IsHeadlessSession() will choose between them).
    CHeadlessFrontEnd headless;
    app.SetFrontEnd(&headless);
    app.SetCommandLine(argc, argv);
    app.InitInstance();
    return app.ExitCode();
}
