// CAboutDlg: the About box (template 100): the product, its version, the maker's notice and a
// button with the product's web address, which opens it with the desktop's URL handler.
// Nothing is reported whether that works or not, and the box stays open. UI thread only.
#pragma once

#include "ui/Dialog.h"

class CAboutDlg : public CDialog {
public:
    CAboutDlg() : CDialog(IDD_ABOUTBOX) {}

    void OnWebLink();

protected:
    bool OnInitDialog() override;
};

// Runs the About box modally; its result is not used.
void ShowAboutBox();
