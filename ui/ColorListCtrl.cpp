#include "ui/ColorListCtrl.h"

#include <QHeaderView>
#include <QPainter>

#include "settings/Settings.h"

namespace {
constexpr int kHeadingBuffer = 19;
}

COLORREF CColorListCtrl::ContrastColor(COLORREF crRow) {
    if (crRow == RGB(255, 255, 255)) return 0;
    const bool bBlueHigh = ((crRow >> 16) & 0xFF) > 128;
    const bool bRedHigh = (crRow & 0xFF) > 128;
    return bBlueHigh == bRedHigh ? RGB(255, 255, 255) : 0;
}

QString CColorListCtrl::ColumnHeading(int nCol, int& nFormat, int& nWidth) const {
    QString strHeading;
    if (!GetColumn(nCol, nFormat, nWidth, strHeading)) return QString();
    return strHeading.left(kHeadingBuffer - 1);
}

void CColorListCtrl::ChooseColors(const CDrawItem& item, COLORREF& crText, COLORREF& crBack) const {
    if (item.bSelected || item.bFocused) {
        crText = kSelectedText;
        crBack = kSelectedBack;
        return;
    }
    crText = RefFromColor(palette().color(QPalette::Active, QPalette::Text));
    crBack = isEnabled() ? GetBkColor() : kDisabledBack;
    int nFormat = 0, nWidth = 0;
    for (int nCol = 0; nCol < columnCount(); ++nCol) {
        if (ColumnHeading(nCol, nFormat, nWidth) != QLatin1String(kColorColumn)) continue;
        const COLORREF crRow =
            static_cast<COLORREF>(Atol(GetItemText(item.nItem, nCol).toStdString()));
        if (crRow == 0) continue;
        crBack = crRow;
        crText = ContrastColor(crRow);
    }
}

void CColorListCtrl::DrawItem(QPainter& painter, const CDrawItem& item) {
    COLORREF crText = 0, crBack = 0;
    ChooseColors(item, crText, crBack);
    painter.save();
    painter.setPen(ColorFromRef(crText));
    int p = 0, nFormat = 0, nWidth = 0;
    for (int nCol = 0; nCol < columnCount(); ++nCol) {
        const QString strHeading = ColumnHeading(nCol, nFormat, nWidth);
        if (strHeading == QLatin1String(kColorColumn)) continue;
        const QRect rcCell(item.rcItem.left() + p, item.rcItem.top(), nWidth, item.rcItem.height());
        const bool bRight = nFormat == LVCFMT_RIGHT;
        const int d = bRight ? nWidth : 1;
        painter.setClipRect(rcCell);
        painter.fillRect(rcCell, ColorFromRef(crBack));
        // The text starts at x (or ends there when right-aligned); the clip cuts it at the cell.
        const QRect rcText = bRight
                                 ? QRect(rcCell.left(), rcCell.top(), d, rcCell.height())
                                 : QRect(rcCell.left() + d, rcCell.top(), 1 << 20, rcCell.height());
        painter.drawText(rcText, Qt::AlignTop | (bRight ? Qt::AlignRight : Qt::AlignLeft),
                         GetItemText(item.nItem, nCol));
        p += nWidth;
    }
    painter.restore();
}

void CColorListCtrl::drawRow(QPainter* pPainter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
    const int nItem = index.row();
    CDrawItem item{
        nItem, selectionModel()->isRowSelected(nItem, index.parent()),
        hasFocus() && currentIndex().row() == nItem,
        QRect(-header()->offset(), option.rect.top(), option.rect.width(), option.rect.height())};
    const_cast<CColorListCtrl*>(this)->DrawItem(*pPainter, item);
}
