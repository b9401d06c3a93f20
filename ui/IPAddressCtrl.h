// CIPAddressCtrl: the IPv4 address control, four decimal fields of 0 to 255 between dots.
//
// Typing: digits only; a value above 255 becomes 255; a third digit, "." or a blank moves on to
// the next field; Backspace in an empty field goes back to the one before. Its text is "" while
// all four fields are blank, otherwise the four numbers with "." between, blank fields read as 0
// and without leading zeros ("10.0.0.1"). UI thread only.
#pragma once

#include <QFrame>
#include <QString>
#include <array>

class QLineEdit;

class CIPAddressCtrl : public QFrame {
public:
    explicit CIPAddressCtrl(QWidget* pParent = nullptr);

    QString GetWindowText() const;
    QLineEdit* Field(int nField) const { return m_fields[static_cast<size_t>(nField)]; }
    // Moves the focus to field nField (0 to 3), selecting its text.
    void FocusField(int nField);

private:
    void OnEdited(int nField);

    std::array<QLineEdit*, 4> m_fields{};
};
