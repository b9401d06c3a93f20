// Widget tests: the desktop of the test program (one CDesktop on the offscreen platform, made by
// a global test environment before the first test and gone after the last), and a user's hands:
// find a control by its identifier, click it, type into it, click a list row, and act on the
// next modal window once it is up. Test (UI) thread only.
#pragma once

#include <QAbstractButton>
#include <QLineEdit>
#include <QWidget>
#include <functional>

class CListCtrl;
class QMessageBox;
class QTimer;

template <class TControl>
TControl* Item(const QWidget* pWindow, int nId) {
    return pWindow->findChild<TControl*>(QString::number(nId));
}
void Click(const QWidget* pWindow, int nId);
void Type(const QWidget* pWindow, int nId, const QString& strText);
void ClickRow(CListCtrl* pList, int nRow);
// Runs fn once, from whichever event loop runs (a modal window's own, or a pump), as soon as
// bReady holds. Returns at once.
void WhenReady(std::function<bool()> bReady, std::function<void()> fn);
// Runs action on the next modal window that is not the current one, while it is up.
void OnNextModal(std::function<void(QWidget*)> action);
// Until Stop, looks at every visible message box again and again (from whichever event loop
// runs) and clicks the button numbered by answer(box); 0 leaves the box for a later look.
class CBoxAnswerer {
public:
    explicit CBoxAnswerer(std::function<int(QMessageBox*)> answer);
    ~CBoxAnswerer();

private:
    QTimer* m_pTimer;
};
// The rendered pixel at (x, y) of the widget, as r, g, b.
unsigned PixelAt(QWidget* pWidget, int x, int y);
