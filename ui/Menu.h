// Qt menus built from the menu resources (ui/resources): a popup becomes a submenu, a
// separator a separator, and every command an action whose objectName is its command number,
// so that code and tests find it by number. UI thread only.
#pragma once

#include <functional>
#include <vector>

#include "ui/resources/Resources.h"

class QMenu;
class QMenuBar;
class QWidget;

// Runs for a chosen command, with its number.
using CommandHandler = std::function<void(int nCommand)>;

// A menu bar drawn inside the window (never handed to a desktop's global menu), with menu
// nMenuId's items; onCommand runs for each chosen command.
QMenuBar* CreateMenuBar(int nMenuId, QWidget* pParent, const CommandHandler& onCommand);
// Popup nPopup of menu nMenuId as a popup menu; its actions run nothing of their own, the
// caller reads the chosen one from QMenu::exec.
QMenu* CreatePopupMenu(int nMenuId, int nPopup, QWidget* pParent);
