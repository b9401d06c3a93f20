// tarnwk: the SMTP screening gateway. Built without Qt: on a desktop session it hands itself over
// to the desktop program (tarnwk-desktop, same process) when that is installed, and otherwise
// runs headless; "tarnwk CHECK" only checks the settings, without a front end.
#include "host/HeadlessFrontEnd.h"
#include "host/ProgramStart.h"
#include "host/SettingsCheck.h"
#include "platform/ProcessControl.h"

int main(int argc, char** argv) {
    if (IsSettingsCheck(argc, argv)) return RunSettingsCheck();
    if (!IsHeadlessSession()) HandOverToDesktop(argv);
    CHeadlessFrontEnd headless;
    return RunGateway(headless, argc, argv);
}
