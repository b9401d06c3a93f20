#include "ui/AboutDlg.h"

#include <QDesktopServices>
#include <QUrl>

bool CAboutDlg::OnInitDialog() {
    OnClicked(1027, [this] { OnWebLink(); });
    return true;
}

// The address is opened as the desktop opens links; running it as a program cannot work.
void CAboutDlg::OnWebLink() { QDesktopServices::openUrl(QUrl(QString::fromUtf8(kWebAddress))); }

void ShowAboutBox() {
    CAboutDlg dialog;
    dialog.DoModal();
}
