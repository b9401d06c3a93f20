// The program's resources: dialog templates, menus, the string table and icons, each under the
// identifier the rest of the program knows it by.
//
// Templates give every control's identifier, kind, caption, styles and rectangle in dialog
// units, in tab order; CDialog (ui/Dialog.h) builds a Qt form from them. Read-only data, usable
// from the UI thread (icons need the QApplication). An unknown identifier gives null or empty.
#pragma once

#include <QIcon>
#include <QString>
#include <vector>

// Dialog identifiers.
enum : int {
    IDD_ABOUTBOX = 100,
    IDD_MONITOR = 102,
    IDD_CONFIG = 129,
    IDD_ADD_SERVER = 131,
    IDD_ADD_EXCLUSION = 132,
};
// Menus, strings and icons.
enum : int {
    IDR_MONITOR_MENU = 130,
    IDR_TRAY_MENU = 135,
    IDS_ABOUTBOX = 101,
    IDP_SOCKETS_INIT_FAILED = 103,
    IDR_MAINFRAME = 128,  // the running icon, also the application's
    IDI_STOPPED = 136,
};
// The product's web address: the About box's link button shows it and its click opens it.
extern const char* const kWebAddress;

// The identifier of a control that nothing refers to.
constexpr int IDC_STATIC = -1;

enum class CControlKind { Edit, CheckBox, PushButton, GroupBox, Static, ListView, IPAddress, Icon };

// Control styles that change what a control does or looks like.
enum ControlStyle : unsigned {
    CS_DEFAULT = 0,
    CS_DISABLED = 1u << 0,
    CS_HIDDEN = 1u << 1,
    CS_NO_TABSTOP = 1u << 2,
    CS_AUTOHSCROLL = 1u << 3,
    CS_READONLY = 1u << 4,
    CS_MULTILINE = 1u << 5,  // with scroll bars both ways and Return taken as text
    CS_NO_BORDER = 1u << 6,
    CS_DEFPUSHBUTTON = 1u << 7,
    CS_RIGHT = 1u << 8,     // right-aligned static text
    CS_NOPREFIX = 1u << 9,  // "&" is shown, not a mnemonic
    CS_OWNERDRAW = 1u << 10,
    CS_SINGLESEL = 1u << 11,
    CS_SORTASCENDING = 1u << 12,
};

struct CControlTemplate {
    int nId;
    CControlKind kind;
    const char* pszCaption;
    int x, y, cx, cy;  // dialog units
    unsigned nStyle;
};

struct CDialogTemplate {
    int nId;
    const char* pszCaption;
    int cx, cy;  // the client area, dialog units
    const char* pszFont;
    int nPointSize;
    bool bMinimizeBox;
    int nMenu;  // 0: none
    std::vector<CControlTemplate> controls;
};

struct CMenuItem {
    int nId;                       // 0: separator or popup
    const char* pszText;           // null: separator
    std::vector<CMenuItem> popup;  // a popup's items
};

// Null for an unknown identifier.
const CDialogTemplate* FindDialogTemplate(int nId);
// A menu bar's (or a popup menu's) top-level items; empty for an unknown identifier.
const std::vector<CMenuItem>& LoadMenuItems(int nId);
// The string table entry, or empty.
QString LoadResourceString(int nId);
// Icon 128 (running, the application's) or 136 (stopped), drawn at the usual sizes.
QIcon LoadAppIcon(int nId);
