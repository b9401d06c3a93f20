#include "ui/Menu.h"

#include <QMenu>
#include <QMenuBar>

namespace {
template <class TMenu>
void AddItems(TMenu* pMenu, const std::vector<CMenuItem>& items, const CommandHandler& onCommand) {
    for (const CMenuItem& item : items) {
        if (item.pszText == nullptr) {
            pMenu->addSeparator();
            continue;
        }
        const QString strText = QString::fromUtf8(item.pszText);
        if (item.nId == 0) {
            AddItems(pMenu->addMenu(strText), item.popup, onCommand);
            continue;
        }
        QAction* pAction = pMenu->addAction(strText);
        pAction->setObjectName(QString::number(item.nId));
        if (onCommand)
            QObject::connect(pAction, &QAction::triggered, pAction,
                             [onCommand, nId = item.nId] { onCommand(nId); });
    }
}
}  // namespace

QMenuBar* CreateMenuBar(int nMenuId, QWidget* pParent, const CommandHandler& onCommand) {
    auto* pBar = new QMenuBar(pParent);
    pBar->setNativeMenuBar(false);
    AddItems(pBar, LoadMenuItems(nMenuId), onCommand);
    return pBar;
}

QMenu* CreatePopupMenu(int nMenuId, int nPopup, QWidget* pParent) {
    auto* pMenu = new QMenu(pParent);
    const std::vector<CMenuItem>& items = LoadMenuItems(nMenuId);
    if (nPopup >= 0 && nPopup < static_cast<int>(items.size())) {
        pMenu->setTitle(QString::fromUtf8(items[nPopup].pszText));
        AddItems(pMenu, items[nPopup].popup, CommandHandler());
    }
    return pMenu;
}
