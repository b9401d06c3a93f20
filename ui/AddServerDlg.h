// CAddServerDlg: the entry dialog that asks the configuration dialog's user for a DNSBL zone name
// (template 131).
//
// Add ends with IDOK and m_strResult holding the field's text exactly (no trimming, no check);
// Cancel, Escape and the close box end with IDCANCEL and m_strResult empty. The field holds at
// most 98 bytes, what a stored list entry can keep. UI thread only.
#pragma once

#include <string>

#include "ui/Dialog.h"

class QLineEdit;

class CAddServerDlg : public CDialog {
public:
    explicit CAddServerDlg(QWidget* pParent = nullptr) : CDialog(IDD_ADD_SERVER, pParent) {}

    std::string m_strResult;
    QLineEdit* m_ctlServer = nullptr;

protected:
    void DoDataExchange() override;
    void OnOK() override;
};
