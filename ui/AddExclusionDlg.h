// CAddExclusionDlg: the entry dialog that asks the configuration dialog's user for an IPv4
// address to exclude from checking (template 132).
//
// Add ends with IDOK and m_strResult holding the address control's text exactly ("" when all
// four fields are blank); Cancel, Escape and the close box end with IDCANCEL and m_strResult
// empty. UI thread only.
#pragma once

#include <string>

#include "ui/Dialog.h"

class CIPAddressCtrl;

class CAddExclusionDlg : public CDialog {
public:
    explicit CAddExclusionDlg(QWidget* pParent = nullptr) : CDialog(IDD_ADD_EXCLUSION, pParent) {}

    std::string m_strResult;
    CIPAddressCtrl* m_ctlAddress = nullptr;

protected:
    void DoDataExchange() override;
    bool OnInitDialog() override { return true; }
    void OnOK() override;
};
