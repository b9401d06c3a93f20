#include "ui/QtFrontEnd.h"

#include "ui/ConfigDlg.h"

bool CQtFrontEnd::RunConfigDialog() {
    CConfigDlg dialog;
    return dialog.DoModal() == IDOK;
}
