#include "ui/ListCtrl.h"

#include <QHeaderView>
#include <QMouseEvent>

CListCtrl::CListCtrl(bool bSortAscending, QWidget* pParent)
    : QTreeWidget(pParent), m_bSortAscending(bSortAscending) {
    setColumnCount(0);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setAllColumnsShowFocus(true);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    header()->setSectionsMovable(false);
    header()->setStretchLastSection(false);
    header()->setMinimumSectionSize(0);
    header()->setSectionResizeMode(QHeaderView::Interactive);
}

int CListCtrl::InsertColumn(int nCol, const QString& strHeading, int nFormat, int nWidth) {
    const int nCount = columnCount();
    if (nCol < 0 || nCol > nCount) nCol = nCount;
    setColumnCount(nCount + 1);
    QTreeWidgetItem* pHeader = headerItem();
    for (int i = nCount; i > nCol; --i) {
        pHeader->setText(i, pHeader->text(i - 1));
        pHeader->setData(i, Qt::UserRole, pHeader->data(i - 1, Qt::UserRole));
        header()->resizeSection(i, header()->sectionSize(i - 1));
    }
    pHeader->setText(nCol, strHeading);
    pHeader->setData(nCol, Qt::UserRole, nFormat);
    pHeader->setTextAlignment(nCol, nFormat == LVCFMT_RIGHT ? Qt::AlignRight : Qt::AlignLeft);
    header()->resizeSection(nCol, nWidth);
    return nCol;
}

bool CListCtrl::GetColumn(int nCol, int& nFormat, int& nWidth, QString& strHeading) const {
    if (nCol < 0 || nCol >= columnCount()) return false;
    nFormat = headerItem()->data(nCol, Qt::UserRole).toInt();
    nWidth = header()->sectionSize(nCol);
    strHeading = headerItem()->text(nCol);
    return true;
}

int CListCtrl::InsertItem(int nItem, const QString& strText) {
    int nCount = topLevelItemCount();
    if (m_bSortAscending) {
        nItem = 0;
        while (nItem < nCount &&
               topLevelItem(nItem)->text(0).compare(strText, Qt::CaseInsensitive) <= 0)
            ++nItem;
    } else if (nItem < 0 || nItem > nCount) {
        nItem = nCount;
    }
    auto* pItem = new QTreeWidgetItem();
    pItem->setText(0, strText);
    insertTopLevelItem(nItem, pItem);
    return nItem;
}

bool CListCtrl::SetItemText(int nItem, int nSubItem, const QString& strText) {
    QTreeWidgetItem* pItem = topLevelItem(nItem);
    if (pItem == nullptr || nSubItem < 0 || nSubItem >= columnCount()) return false;
    pItem->setText(nSubItem, strText);
    return true;
}

QString CListCtrl::GetItemText(int nItem, int nSubItem) const {
    const QTreeWidgetItem* pItem = topLevelItem(nItem);
    return pItem != nullptr ? pItem->text(nSubItem) : QString();
}

bool CListCtrl::SetItemData(int nItem, std::intptr_t nData) {
    QTreeWidgetItem* pItem = topLevelItem(nItem);
    if (pItem == nullptr) return false;
    pItem->setData(0, Qt::UserRole, QVariant::fromValue<qint64>(nData));
    return true;
}

std::intptr_t CListCtrl::GetItemData(int nItem) const {
    const QTreeWidgetItem* pItem = topLevelItem(nItem);
    return pItem != nullptr ? pItem->data(0, Qt::UserRole).toLongLong() : 0;
}

bool CListCtrl::DeleteAllItems() {
    clear();
    return true;
}

int CListCtrl::GetSelectedItem() const {
    const QList<QTreeWidgetItem*> selected = selectedItems();
    return selected.isEmpty() ? -1 : indexOfTopLevelItem(selected.first());
}

COLORREF CListCtrl::GetBkColor() const { return RefFromColor(palette().color(QPalette::Base)); }

void CListCtrl::mousePressEvent(QMouseEvent* pEvent) {
    QTreeWidget::mousePressEvent(pEvent);
    if (itemAt(pEvent->position().toPoint()) == nullptr) clearSelection();
}

void CListCtrl::mouseReleaseEvent(QMouseEvent* pEvent) {
    QTreeWidget::mouseReleaseEvent(pEvent);
    if (pEvent->button() == Qt::LeftButton && m_onClick) m_onClick();
}
