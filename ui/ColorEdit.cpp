#include "ui/ColorEdit.h"

#include <QApplication>

void CColorEdit::SetBkColor(COLORREF crBk) {
    m_bColorEnabled = crBk != 0;
    m_crBk = crBk;
    m_pBkBrush = std::make_unique<QBrush>(ColorFromRef(m_crBk));
    update();
}

const QBrush* CColorEdit::CtlColor(QPalette& palette) const {
    if (!m_bColorEnabled) return nullptr;
    palette.setColor(QPalette::Text, ColorFromRef(m_crText));
    if (m_pBkBrush) palette.setBrush(QPalette::Base, *m_pBkBrush);
    return m_pBkBrush.get();
}

// The colours are asked for before every paint; a change of palette repaints once more.
void CColorEdit::paintEvent(QPaintEvent* pEvent) {
    QPalette colors = QApplication::palette(this);
    CtlColor(colors);
    if (colors != palette()) setPalette(colors);
    QLineEdit::paintEvent(pEvent);
}
