// CColorEdit: a single-line edit that paints itself in a chosen background colour (the monitor
// window's error banner, black on red).
//
// SetBkColor chooses the colour: any non-zero value turns colouring on, 0 turns it off (the
// default colours apply, though a brush of that colour is still made and held). The control
// holds at most one brush, its last. CtlColor is the answer given before each paint. UI thread.
#pragma once

#include <QLineEdit>
#include <memory>

#include "ui/Colors.h"

class CColorEdit : public QLineEdit {
public:
    explicit CColorEdit(QWidget* pParent = nullptr) : QLineEdit(pParent) {}

    std::unique_ptr<QBrush> m_pBkBrush;
    bool m_bColorEnabled = false;
    COLORREF m_crText = 0;
    COLORREF m_crBk = RGB(255, 255, 255);

    void SetBkColor(COLORREF crBk);
    // Sets the palette's text and background colours and returns the background brush, or null
    // when colouring is off.
    const QBrush* CtlColor(QPalette& palette) const;

protected:
    void paintEvent(QPaintEvent* pEvent) override;
};
