// CDialog: a dialog built from its template in ui/resources (controls, captions, styles, tab
// order, sizes converted from dialog units through the dialog font), with the framework's
// ways in and out: OnInitDialog, OnOK (the default button, Enter), OnCancel (button 2, Escape,
// the close box), EndDialog, and message boxes owned by the dialog.
//
// Made and used on the UI thread. DoModal builds the form (once), runs OnInitDialog and shows
// the dialog modally until EndDialog; Create builds it and runs OnInitDialog without showing
// it, for a dialog shown non-modally. Every control with an identifier carries that number as
// its objectName, so code and tests find it by GetDlgItem or by name. A template with a menu
// gets it as a menu bar above the controls (its commands reach OnCommand); the form grows by
// the bar's height, as a window's menu stands outside its client area. Nothing is reported: a
// template that does not exist gives an empty dialog.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "platform/MessageBox.h"
#include "ui/resources/Resources.h"

class CDialog : public QDialog {
public:
    explicit CDialog(int nTemplateId, QWidget* pParent = nullptr);
    ~CDialog() override = default;

    bool Create();
    int DoModal();
    // The modal run of a window that may hide itself meanwhile (exec() would end there): shows
    // it and runs an event loop of its own until EndDialog. The result EndDialog gave.
    int RunModalLoop();
    void EndDialog(int nResult);
    // EndDialog has been called since the dialog was last started.
    bool IsEnded() const { return m_bEnded; }

    QWidget* GetDlgItem(int nId) const;
    template <class TControl>
    TControl* DlgItem(int nId) const {
        return dynamic_cast<TControl*>(GetDlgItem(nId));
    }
    // A box owned by this dialog, through the message-box service.
    int MessageBox(const std::string& strText, const std::string& strCaption, int nButtons = MB_OK,
                   int nIcon = MB_ICONNONE);

    // Pixels of a rectangle in dialog units, through this dialog's font.
    QRect MapDialogRect(const QRect& rcUnits) const;
    // The font's dialog base units: average character width and character height.
    static QSize BaseUnits(const QFont& font);

    void accept() override { OnOK(); }
    void reject() override { OnCancel(); }

protected:
    virtual bool OnInitDialog() { return true; }
    // Binds the dialog's control fields to their controls.
    virtual void DoDataExchange() {}
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    // A command of the menu bar.
    virtual void OnCommand(int /*nCommand*/) {}
    // The widget of one control; a dialog with a control class of its own overrides this.
    virtual QWidget* CreateControl(const CControlTemplate& control);
    // Runs handler when the push button or check box nId is clicked.
    void OnClicked(int nId, const std::function<void()>& handler);

private:
    void Build(const CDialogTemplate& dialog);

    int m_nTemplateId;
    bool m_bCreated = false;
    bool m_bEnded = false;
    QSize m_baseUnits{6, 13};
};
