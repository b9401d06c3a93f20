#include "ui/AddExclusionDlg.h"

#include "ui/IPAddressCtrl.h"

void CAddExclusionDlg::DoDataExchange() { m_ctlAddress = DlgItem<CIPAddressCtrl>(1024); }

void CAddExclusionDlg::OnOK() {
    m_strResult = m_ctlAddress->GetWindowText().toStdString();
    EndDialog(IDOK);
}
