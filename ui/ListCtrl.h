// CListCtrl: a report-view list (rows of columns under a header) with the list-view operations
// the dialogs use: columns with a format, width and heading; items with sub-item texts and an
// item number of the caller's; the selected row; and the click notification.
//
// A sorted list keeps its rows in ascending order of column 0 (letter case ignored, as the
// platform's sorted lists compare), whatever the insertion order; headers never re-sort it.
// Single selection; a click on no row clears it. UI thread only; nothing fails visibly (an index
// out of range does nothing and reads as empty).
#pragma once

#include <QTreeWidget>
#include <cstdint>
#include <functional>

#include "ui/Colors.h"

enum ListColumnFormat { LVCFMT_LEFT = 0, LVCFMT_RIGHT = 1, LVCFMT_CENTER = 2 };

class CListCtrl : public QTreeWidget {
public:
    explicit CListCtrl(bool bSortAscending, QWidget* pParent = nullptr);

    int InsertColumn(int nCol, const QString& strHeading, int nFormat, int nWidth);
    // False when there is no column nCol.
    bool GetColumn(int nCol, int& nFormat, int& nWidth, QString& strHeading) const;
    // The new row's index: its sorted place in a sorted list, else nItem (or the end).
    int InsertItem(int nItem, const QString& strText);
    bool SetItemText(int nItem, int nSubItem, const QString& strText);
    QString GetItemText(int nItem, int nSubItem) const;
    bool SetItemData(int nItem, std::intptr_t nData);
    std::intptr_t GetItemData(int nItem) const;
    bool DeleteAllItems();
    int GetItemCount() const { return topLevelItemCount(); }
    // The selected row, or -1.
    int GetSelectedItem() const;
    // The list's background colour.
    COLORREF GetBkColor() const;
    // Called after every click of the left button inside the list (the click notification).
    void SetClickHandler(std::function<void()> handler) { m_onClick = std::move(handler); }

protected:
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;

private:
    bool m_bSortAscending;
    std::function<void()> m_onClick;
};
