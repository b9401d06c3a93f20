// CColorListCtrl: an owner-drawn report list whose rows take their background colour from a
// hidden column headed exactly "_COLOR" (created with width 0). Its text is empty or a colour
// value in decimal; a value of 0 (or no number) means the row has no colour of its own.
//
// Drawing rules, row by row: a selected or focused row is yellow on blue, whatever its colour;
// otherwise the row's colour (the last non-zero colour column) with its contrast colour as text,
// or without one the list's background (grey 160 while the list is disabled) and the normal text
// colour. Each cell is filled and its text drawn clipped to its column; the colour column is not
// drawn; nothing is drawn right of the last column. UI thread only.
#pragma once

#include "ui/ListCtrl.h"

class QPainter;

// The platform's draw-item record: which row, its state, and its rectangle in the viewport.
struct CDrawItem {
    int nItem;
    bool bSelected;
    bool bFocused;
    QRect rcItem;
};

class CColorListCtrl : public CListCtrl {
public:
    static constexpr const char* kColorColumn = "_COLOR";
    static constexpr COLORREF kSelectedText = RGB(255, 255, 0);
    static constexpr COLORREF kSelectedBack = RGB(0, 0, 255);
    static constexpr COLORREF kDisabledBack = RGB(160, 160, 160);

    explicit CColorListCtrl(QWidget* pParent = nullptr) : CListCtrl(true, pParent) {}

    virtual void DrawItem(QPainter& painter, const CDrawItem& item);
    // Black on white and on rows where exactly one of red and blue is above 128, else white.
    static COLORREF ContrastColor(COLORREF crRow);

protected:
    void drawRow(QPainter* pPainter, const QStyleOptionViewItem& option,
                 const QModelIndex& index) const override;

private:
    // The row's colours by the rules above.
    void ChooseColors(const CDrawItem& item, COLORREF& crText, COLORREF& crBack) const;
    // A column's heading as the platform reads it, into a buffer of 19 characters.
    QString ColumnHeading(int nCol, int& nFormat, int& nWidth) const;
};
