#include "ui/resources/Resources.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

const char* const kWebAddress = "http://www.quenfield.example/tarnwick/";

namespace {
using K = CControlKind;
constexpr const char* kDialogFont = "MS Sans Serif";

const std::vector<CDialogTemplate>& Templates() {
    static const std::vector<CDialogTemplate> s_templates = {
        {IDD_ABOUTBOX,
         "About tarnwk",
         264,
         79,
         kDialogFont,
         8,
         false,
         0,
         {
             {IDC_STATIC, K::Icon, "", 11, 17, 20, 20, CS_DEFAULT},
             {IDC_STATIC, K::Static, "Tarnwick Professional", 40, 10, 92, 8, CS_NOPREFIX},
             {IDC_STATIC, K::Static, "Version 0.50\u00DF", 133, 10, 44, 8, CS_DEFAULT},
             {IDC_STATIC, K::Static,
              "Copyright (C) Quenfield Software\nAn SMTP gateway that screens clients\n"
              "against DNS block lists.\nAll rights reserved.",
              39, 20, 160, 36, CS_DEFAULT},
             {1, K::PushButton, "OK", 207, 7, 50, 14, CS_DEFPUSHBUTTON},
             {1027, K::PushButton, kWebAddress, 34, 58, 130, 14, CS_DEFAULT},
         }},
        {IDD_MONITOR,
         "Tarnwick Professional",
         305,
         270,
         kDialogFont,
         8,
         true,
         IDR_MONITOR_MENU,
         {
             {1011, K::ListView, "", 7, 3, 174, 86, CS_SINGLESEL | CS_SORTASCENDING},
             {1009, K::PushButton, "Configure", 197, 10, 42, 12, CS_DEFAULT},
             {1033, K::Edit, "", 199, 30, 62, 12,
              CS_AUTOHSCROLL | CS_NO_BORDER | CS_NO_TABSTOP | CS_HIDDEN},
             {IDC_STATIC, K::Static, "Connections Received", 187, 48, 73, 8, CS_DEFAULT},
             {1017, K::Static, "0", 265, 48, 25, 8, CS_RIGHT},
             {IDC_STATIC, K::Static, "Connections Rejected", 189, 57, 71, 8, CS_DEFAULT},
             {1018, K::Static, "0", 265, 57, 25, 8, CS_RIGHT},
             {IDC_STATIC, K::Static, "Connections Accepted", 187, 66, 73, 8, CS_DEFAULT},
             {1019, K::Static, "0", 265, 66, 25, 8, CS_RIGHT},
             {1003, K::Edit, "", 8, 91, 286, 167, CS_MULTILINE | CS_READONLY},
         }},
        {IDD_CONFIG,
         "Tarnwick Professional Configuration",
         367,
         194,
         kDialogFont,
         8,
         false,
         0,
         {
             {1010, K::Edit, "", 31, 32, 19, 12, CS_AUTOHSCROLL},
             {1001, K::Edit, "", 97, 18, 82, 12, CS_AUTOHSCROLL},
             {1014, K::Edit, "", 97, 32, 19, 12, CS_AUTOHSCROLL},
             {1030, K::CheckBox, "Enable Logging", 191, 19, 65, 10, CS_DEFAULT},
             {1002, K::Edit, "", 213, 32, 145, 12, CS_AUTOHSCROLL},
             {1029, K::CheckBox, "Run as Service", 282, 2, 65, 10, CS_DEFAULT},
             {1011, K::ListView, "", 7, 68, 154, 91,
              CS_SINGLESEL | CS_SORTASCENDING | CS_OWNERDRAW},
             {1012, K::PushButton, "Add", 165, 68, 37, 12, CS_DEFAULT},
             {1013, K::PushButton, "Remove", 165, 89, 37, 12, CS_DISABLED},
             {1, K::PushButton, "Save", 312, 173, 50, 14, CS_DEFPUSHBUTTON},
             {IDC_STATIC, K::GroupBox, "Incoming", 10, 9, 47, 40, CS_DEFAULT},
             {IDC_STATIC, K::GroupBox, "Outgoing", 56, 9, 127, 40, CS_DEFAULT},
             {IDC_STATIC, K::Static, "Port", 16, 34, 14, 8, CS_DEFAULT},
             {IDC_STATIC, K::Static, "Mail Server", 59, 19, 36, 8, CS_DEFAULT},
             {IDC_STATIC, K::Static, "Port", 81, 34, 14, 8, CS_DEFAULT},
             {1020, K::PushButton, "Activate", 165, 110, 37, 12, CS_DISABLED},
             {1021, K::ListView, "", 217, 68, 90, 91,
              CS_SINGLESEL | CS_SORTASCENDING | CS_OWNERDRAW},
             {IDC_STATIC, K::GroupBox, "Exclude from Checking", 207, 58, 148, 107, CS_DEFAULT},
             {IDC_STATIC, K::GroupBox, "DNSBL Servers", 2, 58, 206, 107, CS_DEFAULT},
             {1015, K::PushButton, "Add", 313, 68, 37, 12, CS_DEFAULT},
             {1016, K::PushButton, "Remove", 313, 89, 37, 12, CS_DISABLED},
             {1022, K::PushButton, "Activate", 313, 110, 37, 12, CS_DISABLED},
             {IDC_STATIC, K::Static, "SMTP Connection Information", 49, 1, 96, 8, CS_DEFAULT},
             {IDC_STATIC, K::GroupBox, "Logging", 181, 9, 179, 40, CS_DEFAULT},
             {IDC_STATIC, K::Static, "Log File:", 184, 34, 28, 8, CS_RIGHT},
             {1034, K::PushButton, "Test Configuration", 117, 32, 63, 13, CS_DEFAULT},
         }},
        {IDD_ADD_SERVER,
         "Add Server",
         188,
         58,
         kDialogFont,
         8,
         false,
         0,
         {
             {1015, K::Edit, "", 61, 15, 113, 12, CS_AUTOHSCROLL},
             {2, K::PushButton, "Cancel", 65, 34, 40, 11, CS_DEFAULT},
             {1, K::PushButton, "Add", 133, 34, 40, 11, CS_DEFPUSHBUTTON},
             {IDC_STATIC, K::Static, "DNSBL Server", 10, 17, 48, 8, CS_DEFAULT},
         }},
        {IDD_ADD_EXCLUSION,
         "Add Exclusion",
         188,
         58,
         kDialogFont,
         8,
         false,
         0,
         {
             {1024, K::IPAddress, "", 55, 15, 97, 15, CS_DEFAULT},
             {1, K::PushButton, "Add", 131, 35, 40, 11, CS_DEFPUSHBUTTON},
             {2, K::PushButton, "Cancel", 54, 35, 40, 11, CS_DEFAULT},
             {IDC_STATIC, K::Static, "Exclusion IP", 13, 17, 40, 8, CS_DEFAULT},
         }},
    };
    return s_templates;
}

// The envelope of both icons on a blue tile; a green light while running, red when stopped.
QPixmap DrawIcon(int nSize, const QColor& light) {
    QPixmap pixmap(nSize, nSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(nSize / 32.0, nSize / 32.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(24, 64, 140));
    painter.drawRoundedRect(QRectF(1, 1, 30, 30), 5, 5);
    painter.setBrush(Qt::white);
    painter.drawRect(QRectF(5, 9, 22, 15));
    painter.setPen(QPen(QColor(24, 64, 140), 2));
    painter.drawPolyline(QPolygonF({QPointF(5, 9), QPointF(16, 18), QPointF(27, 9)}));
    painter.setPen(QPen(Qt::white, 1.5));
    painter.setBrush(light);
    painter.drawEllipse(QRectF(19, 17, 12, 12));
    return pixmap;
}
}  // namespace

const CDialogTemplate* FindDialogTemplate(int nId) {
    for (const CDialogTemplate& dialog : Templates())
        if (dialog.nId == nId) return &dialog;
    return nullptr;
}

const std::vector<CMenuItem>& LoadMenuItems(int nId) {
    static const std::vector<CMenuItem> s_monitor = {
        {32771, "Exit", {}},
        {0, "Tools", {{32773, "Configure", {}}}},
        {0, "About", {{32772, "About", {}}}},
    };
    static const std::vector<CMenuItem> s_tray = {
        {0,
         "Menu",
         {{32773, "Configure", {}},
          {0, nullptr, {}},
          {32777, "Stop Service", {}},
          {0, nullptr, {}},
          {32776, "Exit", {}}}},
    };
    static const std::vector<CMenuItem> s_none;
    if (nId == IDR_MONITOR_MENU) return s_monitor;
    if (nId == IDR_TRAY_MENU) return s_tray;
    return s_none;
}

QString LoadResourceString(int nId) {
    if (nId == IDS_ABOUTBOX) return QStringLiteral("&About Tarnwick...");
    if (nId == IDP_SOCKETS_INIT_FAILED)
        return QStringLiteral("Windows sockets initialization failed.");
    return {};
}

QIcon LoadAppIcon(int nId) {
    if (nId != IDR_MAINFRAME && nId != IDI_STOPPED) return {};
    const QColor light = nId == IDR_MAINFRAME ? QColor(40, 200, 60) : QColor(220, 40, 40);
    QIcon icon;
    for (int nSize : {16, 24, 32, 48}) icon.addPixmap(DrawIcon(nSize, light));
    return icon;
}
