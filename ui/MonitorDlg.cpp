#include "ui/MonitorDlg.h"

#include <sys/epoll.h>

#include <QApplication>
#include <QBrush>
#include <QEvent>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimerEvent>
#include <algorithm>
#include <optional>
#include <vector>

#include "host/GatewayApp.h"
#include "ui/AboutDlg.h"
#include "ui/ColorEdit.h"
#include "ui/Desktop.h"
#include "ui/ListCtrl.h"

namespace {
constexpr const char* kExitQuestion =
    "Exit Tarnwick?\nWARNING: This will prevent incoming emails from coming in.";
constexpr const char* kServerError = " SMTP Server Error ";
constexpr COLORREF kBannerColor = 255;
// Menu commands.
enum : int { ID_EXIT = 32771, ID_ABOUT = 32772, ID_CONFIGURE = 32773 };

constexpr int kNamesWidth = 190, kCatchesWidth = 60;  // the columns' widths as made

// A zone its checks keep from being asked: failed, or none has answered yet.
const char* NotAskedMark(const std::optional<EZoneHealth>& health) {
    if (health == EZoneHealth::Suspended) return " (Suspended)";
    if (health == EZoneHealth::Unchecked) return " (Unchecked)";
    return nullptr;
}

// The catches column widens to its widest text ("12 (Suspended)") as far as the list has room
// beside the names, and is never narrower than it was made; the names keep their width.
void FitCatchesColumn(CListCtrl& list) {
    list.resizeColumnToContents(1);
    const int nRoom = list.viewport()->width() - list.columnWidth(0);
    list.setColumnWidth(1, std::max(kCatchesWidth, std::min(list.columnWidth(1), nRoom)));
}

// Received minus rejected as 32-bit counters give it, wrapping instead of overflowing.
std::int32_t AcceptedCount(std::int32_t nReceived, std::int32_t nRejected) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(nReceived) -
                                     static_cast<std::uint32_t>(nRejected));
}

// The pane's bytes as the widget shows them: line feeds alone end its lines.
QString PaneDisplay(const std::string& strBytes) {
    std::string strShown;
    strShown.reserve(strBytes.size());
    for (char c : strBytes)
        if (c != '\r') strShown += c;
    return QString::fromStdString(strShown);
}

bool OnUiThread() {
    const CDesktop* pDesktop = CDesktop::Instance();
    return pDesktop == nullptr || pDesktop->IsUiThread();
}
}  // namespace

CMonitorDlg::CMonitorDlg(CGatewayApp& app)
    : CDialog(IDD_MONITOR),
      m_hIcon(LoadAppIcon(IDR_MAINFRAME)),
      m_app(app),
      m_update(kUpdateMs, [this] {
          ShowPaneChanges();
          if (m_bRefreshPending.exchange(false)) RefreshOnUiThread();
          return false;
      }) {
    CDesktop* pDesktop = CDesktop::Instance();
    if (pDesktop != nullptr && m_signals.Fd() >= 0)
        m_nSignalWatch = pDesktop->Loop().Watch(m_signals.Fd(), EPOLLIN, [this](std::uint32_t) {
            const int nSignal = m_signals.Take();
            if (m_bRunning && m_app.TakeSignal(nSignal)) EndRun();
        });
}

CMonitorDlg::~CMonitorDlg() {
    if (CDesktop* pDesktop = CDesktop::Instance(); pDesktop && m_nSignalWatch)
        pDesktop->Loop().Unwatch(m_nSignalWatch);
}

QWidget* CMonitorDlg::CreateControl(const CControlTemplate& control) {
    if (control.nId != 1033) return CDialog::CreateControl(control);
    auto* pBanner = new CColorEdit(this);
    pBanner->setFrame(false);
    return pBanner;
}

void CMonitorDlg::DoDataExchange() {
    m_ctlServerError = DlgItem<CColorEdit>(1033);
    m_ctlAccepted = DlgItem<QLabel>(1019);
    m_ctlCatches = DlgItem<CListCtrl>(1011);
    m_ctlRejected = DlgItem<QLabel>(1018);
    m_ctlReceived = DlgItem<QLabel>(1017);
    m_ctlLog = DlgItem<QPlainTextEdit>(1003);
}

// X11 gives a program no system menu to extend: the About box is reached from the menu bar, and
// OnSysCommand stays for whatever delivers system commands.
bool CMonitorDlg::OnInitDialog() {
    // A main window with a taskbar button while it is visible, not a dialog of another window:
    // caption, system menu, minimise and close boxes, but no maximise box on a fixed-size form.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    OnClicked(1009, [this] { OnConfigure(); });
    setWindowIcon(m_hIcon);
    m_ctlServerError->setText(QString::fromUtf8(kServerError));
    m_ctlServerError->SetBkColor(kBannerColor);
    m_ctlCatches->InsertColumn(0, QStringLiteral("DNSBL Servers"), LVCFMT_LEFT, kNamesWidth);
    m_ctlCatches->InsertColumn(1, QStringLiteral("Catches"), LVCFMT_LEFT, kCatchesWidth);
    ShowPaneChanges(true);
    RefreshOnUiThread();
    m_nTimer = startTimer(kTickMs);
    return true;
}

// The listener's refreshes come together: the counters are read afresh when they are shown.
void CMonitorDlg::Refresh() {
    if (OnUiThread()) return RefreshOnUiThread();
    m_bRefreshPending = true;
    m_update.Request();
}

void CMonitorDlg::RefreshOnUiThread() {
    if (m_ctlReceived == nullptr) return;  // not made yet: OnInitDialog refreshes
    const CGatewayCounters& counters = m_app.m_gateway.m_counters;
    const std::int32_t nReceived = counters.m_nConnections, nRejected = counters.m_nRejected;
    m_ctlReceived->setText(QString::number(nReceived));
    m_ctlRejected->setText(QString::number(nRejected));
    m_ctlAccepted->setText(QString::number(AcceptedCount(nReceived, nRejected)));
    m_ctlServerError->setVisible(counters.m_nMailServerStatus == 0);
    ShowCatches(m_app.m_gateway.CatchRows());
}

// The list is rebuilt only when a row changed, so that a selection in it lasts.
void CMonitorDlg::ShowCatches(std::vector<CCatchRow> rows) {
    if (m_bCatchesShown && rows == m_shownCatches) return;
    m_ctlCatches->DeleteAllItems();
    for (const CCatchRow& row : rows) {
        const int nItem = m_ctlCatches->InsertItem(0, QString::fromStdString(row.strName));
        QString strCatches = QString::number(row.nCatches);
        // A zone not asked says why, greyed, the way a disabled entry looks elsewhere.
        const char* pMark = NotAskedMark(row.health);
        if (pMark != nullptr) strCatches += QString::fromUtf8(pMark);
        m_ctlCatches->SetItemText(nItem, 1, strCatches);
        if (pMark != nullptr)
            for (int nColumn = 0; nColumn < 2; ++nColumn)
                m_ctlCatches->topLevelItem(nItem)->setForeground(nColumn, QBrush(Qt::gray));
    }
    FitCatchesColumn(*m_ctlCatches);
    m_shownCatches = std::move(rows);
    m_bCatchesShown = true;
}

std::string CMonitorDlg::GetLogText() { return m_pane.Text(); }

void CMonitorDlg::AppendLogText(const std::string& strText, size_t nMaxText) {
    m_pane.Append(strText, nMaxText);
    if (OnUiThread())
        ShowPaneChanges();
    else
        m_update.Request();
}

// The widget follows the kept text: the lines trimmed off the front leave it as whole blocks
// (trimming cuts just after a line feed), and the new text is added at its end.
void CMonitorDlg::ShowPaneChanges(bool bWhole) {
    if (m_ctlLog == nullptr) return;  // not made yet: OnInitDialog shows the whole text
    const CLogPane::CChanges changes = m_pane.TakeChanges(bWhole);
    if (changes.bReplace) {
        m_ctlLog->setPlainText(PaneDisplay(changes.strText));
    } else {
        QTextCursor cursor(m_ctlLog->document());
        if (changes.nLinesCut > 0) {
            cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor,
                                static_cast<int>(changes.nLinesCut));
            cursor.removeSelectedText();
        }
        if (!changes.strText.empty()) {
            cursor.movePosition(QTextCursor::End);
            cursor.insertText(PaneDisplay(changes.strText));
        }
    }
    if (changes.bScroll)
        m_ctlLog->verticalScrollBar()->setValue(m_ctlLog->verticalScrollBar()->maximum());
}

void CMonitorDlg::RunModal() {
    m_bRunning = true;
    RunModalLoop();
    m_bRunning = false;
}

void CMonitorDlg::Activate() {
    if (isVisible()) activateWindow();
}

void CMonitorDlg::ShowWindow() {
    showNormal();
    raise();
    activateWindow();
}

bool CMonitorDlg::MayHide() const { return m_app.FrontEnd().HasTrayIcon(); }

void CMonitorDlg::timerEvent(QTimerEvent* pEvent) {
    if (pEvent->timerId() == m_nTimer) OnTimer();
}

void CMonitorDlg::OnTimer() {
    if (m_bHidePending) {
        if (MayHide()) hide();
        m_bHidePending = 0;
    }
    if (m_bIconRefreshPending) {
        m_app.FrontEnd().UpdateTrayIcon(NIM_MODIFY);
        m_bIconRefreshPending = 0;
    }
}

// Minimised, the window leaves the screen and the taskbar; the tray icon brings it back.
void CMonitorDlg::changeEvent(QEvent* pEvent) {
    CDialog::changeEvent(pEvent);
    if (pEvent->type() == QEvent::WindowStateChange && isMinimized() && MayHide()) hide();
}

void CMonitorDlg::OnOK() {
    if (m_app.m_bGatewayElsewhere == 1 || m_app.m_bGatewayDown != 0 ||
        MessageBox(kExitQuestion, "Warning", MB_YESNO, MB_ICONEXCLAMATION) == IDYES)
        EndRun();
}

void CMonitorDlg::EndRun() {
    EndDialog(IDOK);
    CloseWindowsAbove(this);
}

void CMonitorDlg::OnCommand(int nCommand) {
    if (nCommand == ID_EXIT) OnCancel();
    if (nCommand == ID_CONFIGURE) OnConfigure();
    if (nCommand == ID_ABOUT) ShowAboutBox();
}

void CMonitorDlg::OnSysCommand(int nId) {
    if ((nId & 0xFFF0) == IDM_ABOUTBOX) ShowAboutBox();
}

void CMonitorDlg::OnConfigure() { m_app.Configure(true); }

void CloseWindowsAbove(QWidget* pWindow) {
    constexpr int kMostWindows = 32;  // each pass closes one; a window that will not close ends it
    for (int i = 0; i < kMostWindows; ++i) {
        if (QWidget* pPopup = QApplication::activePopupWidget()) {
            pPopup->close();
            continue;
        }
        QWidget* pModal = QApplication::activeModalWidget();
        if (pModal == nullptr || pModal == pWindow) return;
        if (auto* pDialog = dynamic_cast<CDialog*>(pModal))
            pDialog->EndDialog(IDCANCEL);
        else if (auto* pOther = qobject_cast<QDialog*>(pModal))
            pOther->done(QDialog::Rejected);
        else
            pModal->hide();
    }
}
