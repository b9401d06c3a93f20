#include "ui/AddServerDlg.h"

#include <QLineEdit>

#include "ui/TextLimit.h"

void CAddServerDlg::DoDataExchange() {
    m_ctlServer = DlgItem<QLineEdit>(1015);
    LimitTextBytes(m_ctlServer, kMaxEntryBytes);
}

void CAddServerDlg::OnOK() {
    m_strResult = m_ctlServer->text().toStdString();
    EndDialog(IDOK);
}
