// CQtFrontEnd: the desktop front end. It runs the configuration dialog (CConfigDlg) for
// Configure; until the monitor window and the tray icon are built on the desktop, those parts
// are the headless front end's.
//
// Used on the UI thread of a process that has a CDesktop.
#pragma once

#include "host/HeadlessFrontEnd.h"

class CQtFrontEnd : public CHeadlessFrontEnd {
public:
    bool RunConfigDialog() override;
};
