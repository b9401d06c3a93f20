#include "ui/ConfigDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <cerrno>
#include <chrono>
#include <thread>

#include "gateway/ChannelSocket.h"
#include "host/GatewayApp.h"
#include "ui/AddExclusionDlg.h"
#include "ui/AddServerDlg.h"
#include "ui/ColorListCtrl.h"
#include "ui/TextLimit.h"

namespace {
using Guard = std::lock_guard<std::recursive_mutex>;
using Clock = std::chrono::steady_clock;
constexpr auto kTestStep = std::chrono::milliseconds(50);

constexpr const char* kInvalidServer = "Please Specify a valid server and port";
constexpr const char* kTestWarning =
    "This test may take a while. Please be patient.\n\nPress Ok to begin test.";
constexpr const char* kTestSucceeded = "Port Connection to SMTP Server was Successful";
constexpr const char* kTestFailed =
    "Error Connecting to SMTP Server.\nMail Server must be running to properly configure "
    "Tarnwick Professional\nCheck your settings and try again.";
constexpr const char* kMustTest =
    "You must successfully test your mail server configuration before you can save it.";

// One list entry as the dialog shows it, copied out under the settings lock.
struct CRow {
    std::string strText;
    std::int32_t bActive;
    std::int32_t nId;
};

Settings& LiveSettings() { return TheApp().m_settings; }

// The two lists' entries, told apart by type.
CDnsblServer* FindEntry(CDnsblServer*, int nId) { return LiveSettings().FindDnsblServer(nId); }
CExclusion* FindEntry(CExclusion*, int nId) { return LiveSettings().FindExclusion(nId); }
std::string& EntryText(CDnsblServer& entry) { return entry.m_strName; }
std::string& EntryText(CExclusion& entry) { return entry.m_strAddress; }

template <class TEntry>
std::vector<CRow> Rows(TEntry* Settings::*pHead) {
    std::vector<CRow> rows;
    Guard guard(LiveSettings().m_lock);
    for (TEntry* p = LiveSettings().*pHead; p; p = p->m_pNext)
        if (!EntryText(*p).empty()) rows.push_back({EntryText(*p), p->m_bActive, p->m_nId});
    return rows;
}

void FillList(CColorListCtrl& list, const std::vector<CRow>& rows, std::uint32_t crInactive) {
    list.DeleteAllItems();
    for (const CRow& row : rows) {
        const int nItem = list.InsertItem(list.GetItemCount(), QString::fromStdString(row.strText));
        list.SetItemText(nItem, 1, row.bActive ? QStringLiteral("Yes") : QStringLiteral("No"));
        list.SetItemText(nItem, 2, row.bActive ? QString() : QString::number(crInactive));
        list.SetItemData(nItem, row.nId);
    }
}

void InsertColumns(CColorListCtrl& list, const char* pszText, int nTextWidth, int nActiveWidth) {
    list.InsertColumn(0, QString::fromUtf8(pszText), LVCFMT_LEFT, nTextWidth);
    list.InsertColumn(1, QStringLiteral("Active"), LVCFMT_LEFT, nActiveWidth);
    list.InsertColumn(2, QString::fromUtf8(CColorListCtrl::kColorColumn), LVCFMT_LEFT, 0);
}

// The selected row's entry number, or -1 when no row is selected.
int SelectedId(const CColorListCtrl& list) {
    const int nItem = list.GetSelectedItem();
    return nItem < 0 ? -1 : static_cast<int>(list.GetItemData(nItem));
}

// Asks the question with the selected entry's text; on Yes the entry counts as removed. The
// lock is not held while the box is up: the entry is looked up again afterwards.
template <class TEntry>
void RemoveSelected(CDialog& dialog, const CColorListCtrl& list, const std::string& strQuestion) {
    const int nId = SelectedId(list);
    std::string strText;
    {
        Guard guard(LiveSettings().m_lock);
        if (TEntry* pEntry = nId >= 0 ? FindEntry(static_cast<TEntry*>(nullptr), nId) : nullptr)
            strText = EntryText(*pEntry);
        else
            return;
    }
    if (dialog.MessageBox(strQuestion + strText + "' ?", "WARNING", MB_YESNO, MB_ICONEXCLAMATION) !=
        IDYES)
        return;
    Guard guard(LiveSettings().m_lock);
    if (TEntry* pEntry = FindEntry(static_cast<TEntry*>(nullptr), nId)) EntryText(*pEntry).clear();
    LiveSettings().ListsChanged();
}

template <class TEntry>
void FlipSelected(const CColorListCtrl& list) {
    const int nId = SelectedId(list);
    if (nId < 0) return;
    Guard guard(LiveSettings().m_lock);
    if (TEntry* pEntry = FindEntry(static_cast<TEntry*>(nullptr), nId))
        pEntry->m_bActive = pEntry->m_bActive == 0 ? 1 : 0;
    LiveSettings().ListsChanged();
}

std::int32_t FieldNumber(const QLineEdit* pEdit) { return Atol(pEdit->text().toStdString()); }
}  // namespace

void CConfigDlg::DoDataExchange() {
    m_ctlRunAsService = DlgItem<QCheckBox>(1029);
    m_ctlLogFile = DlgItem<QLineEdit>(1002);
    m_ctlEnableLogging = DlgItem<QCheckBox>(1030);
    m_ctlRemoveExclusion = DlgItem<QPushButton>(1016);
    m_ctlAddExclusion = DlgItem<QPushButton>(1015);
    m_ctlActivateExclusion = DlgItem<QPushButton>(1022);
    m_ctlActivateServer = DlgItem<QPushButton>(1020);
    m_ctlExclusions = DlgItem<CColorListCtrl>(1021);
    m_ctlPortOut = DlgItem<QLineEdit>(1014);
    m_ctlPortIn = DlgItem<QLineEdit>(1010);
    m_ctlMailServer = DlgItem<QLineEdit>(1001);
    m_ctlAddServer = DlgItem<QPushButton>(1012);
    m_ctlRemoveServer = DlgItem<QPushButton>(1013);
    m_ctlServers = DlgItem<CColorListCtrl>(1011);
    for (QLineEdit* pEdit : {m_ctlLogFile, m_ctlPortOut, m_ctlPortIn, m_ctlMailServer})
        LimitTextBytes(pEdit, kMaxSettingBytes);
}

bool CConfigDlg::OnInitDialog() {
    OnClicked(1012, [this] { OnAddServer(); });
    OnClicked(1013, [this] { OnRemoveServer(); });
    m_ctlServers->SetClickHandler([this] { OnClickServerList(); });
    OnClicked(1020, [this] { OnActivateServer(); });
    OnClicked(1015, [this] { OnAddExclusion(); });
    OnClicked(1016, [this] { OnRemoveExclusion(); });
    OnClicked(1022, [this] { OnActivateExclusion(); });
    m_ctlExclusions->SetClickHandler([this] { OnClickExclusionList(); });
    OnClicked(1030, [this] { OnEnableLogging(); });
    OnClicked(1034, [this] { OnTestConfiguration(); });
    for (QLineEdit* pEdit : {m_ctlMailServer, m_ctlPortOut})
        connect(pEdit, &QLineEdit::textChanged, this, [this] { OnMailSettingChanged(); });

    InsertColumns(*m_ctlServers, "Lookup Servers", 175, 50);
    InsertColumns(*m_ctlExclusions, "Exclusion", 85, 45);
    FillServerList();
    FillExclusionList();
    const Settings& settings = LiveSettings();
    m_ctlMailServer->setText(QString::fromStdString(settings.GetMailServer()));
    m_ctlPortOut->setText(QString::number(settings.PortOut));
    m_ctlPortIn->setText(QString::number(settings.PortIn));
    m_ctlRunAsService->setChecked(false);
    m_ctlRunAsService->setEnabled(false);
    m_ctlEnableLogging->setChecked(settings.EnableLogging != 0);
    m_ctlLogFile->setText(QString::fromStdString(settings.GetLogFileName()));
    m_bChanged = 0;
    OnEnableLogging();
    return true;
}

void CConfigDlg::FillServerList() {
    FillList(*m_ctlServers, Rows(&Settings::DNSBL_Servers), kInactiveServer);
    m_ctlRemoveServer->setEnabled(false);
    m_ctlActivateServer->setEnabled(false);
}

void CConfigDlg::FillExclusionList() {
    FillList(*m_ctlExclusions, Rows(&Settings::Exclusions), kInactiveExclusion);
    m_ctlRemoveExclusion->setEnabled(false);
    m_ctlActivateExclusion->setEnabled(false);
}

void CConfigDlg::OnClickServerList() {
    const int nId = SelectedId(*m_ctlServers);
    if (nId < 0) {
        m_ctlRemoveServer->setEnabled(false);
        m_ctlActivateServer->setEnabled(false);
        return;
    }
    int bActive = -1;
    {
        Guard guard(LiveSettings().m_lock);
        if (const CDnsblServer* pServer = LiveSettings().FindDnsblServer(nId))
            bActive = pServer->m_bActive != 0;
    }
    if (bActive < 0) return;
    m_ctlActivateServer->setText(bActive ? QStringLiteral("Disable") : QStringLiteral("Activate"));
    m_ctlRemoveServer->setEnabled(true);
    m_ctlActivateServer->setEnabled(true);
}

void CConfigDlg::OnClickExclusionList() {
    const int nId = SelectedId(*m_ctlExclusions);
    m_ctlRemoveExclusion->setEnabled(nId >= 0);
    m_ctlActivateExclusion->setEnabled(nId >= 0);
    if (nId < 0) return;
    Guard guard(LiveSettings().m_lock);
    if (const CExclusion* pExclusion = LiveSettings().FindExclusion(nId))
        m_ctlActivateExclusion->setText(pExclusion->m_bActive ? QStringLiteral("Disable")
                                                              : QStringLiteral("Activate"));
}

void CConfigDlg::OnActivateServer() {
    FlipSelected<CDnsblServer>(*m_ctlServers);
    FillServerList();
}

void CConfigDlg::OnActivateExclusion() {
    FlipSelected<CExclusion>(*m_ctlExclusions);
    FillExclusionList();
}

void CConfigDlg::OnRemoveServer() {
    RemoveSelected<CDnsblServer>(*this, *m_ctlServers,
                                 "Are you sure you want to permanently remove server '");
    FillServerList();
}

void CConfigDlg::OnRemoveExclusion() {
    RemoveSelected<CExclusion>(*this, *m_ctlExclusions,
                               "Are you sure you want to permanently remove Exclusion '");
    FillExclusionList();
}

void CConfigDlg::OnAddServer() {
    CAddServerDlg dialog(this);
    if (dialog.DoModal() == IDOK && !dialog.m_strResult.empty())
        LiveSettings().AddDnsblServer(dialog.m_strResult, 1);
    FillServerList();
}

void CConfigDlg::OnAddExclusion() {
    CAddExclusionDlg dialog(this);
    if (dialog.DoModal() == IDOK && !dialog.m_strResult.empty())
        LiveSettings().AddExclusion(dialog.m_strResult, 1);
    FillExclusionList();
}

void CConfigDlg::OnEnableLogging() { m_ctlLogFile->setReadOnly(!m_ctlEnableLogging->isChecked()); }

// A port outside 1 to 65535 cannot be connected to: it is refused like a missing one. The
// successful test clears m_bChanged only for the texts it tested, so an edit typed while the
// test waited still needs a test of its own.
void CConfigDlg::OnTestConfiguration() {
    if (m_bTestRunning) return;
    m_bTestRunning = 1;
    const QString strServer = m_ctlMailServer->text(), strPort = m_ctlPortOut->text();
    const std::int32_t nPort = Atol(strPort.toStdString());
    if (strServer.isEmpty() || nPort < 1 || nPort > 65535) {
        MessageBox(kInvalidServer, "Error");
        m_bTestRunning = 0;
        return;
    }
    if (MessageBox(kTestWarning, "Warning", MB_OKCANCEL) != IDOK) {
        MessageBox("Test Cancelled", "Message");
        m_bTestRunning = 0;
        return;
    }
    const bool bConnected = TestMailServer(strServer.toStdString(), nPort);
    if (IsEnded()) {  // closed during the test, as the program leaves: nobody is left to tell
        m_bTestRunning = 0;
        return;
    }
    if (bConnected) {
        MessageBox(kTestSucceeded, "Success");
        if (m_ctlMailServer->text() == strServer && m_ctlPortOut->text() == strPort) m_bChanged = 0;
    } else {
        MessageBox(kTestFailed, "Error");
    }
    m_bTestRunning = 0;
}

bool CConfigDlg::TestMailServer(const std::string& strServer, int nPort) {
    CGatewayApp& app = TheApp();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    // The listener goes on beside the test, which needs only a socket of its own.
    CChannelSocket socket;
    socket.Create(0, SOCK_STREAM, FD_ALL_EVENTS);
    socket.Connect(strServer, static_cast<unsigned>(nPort));
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_nTestLimitMs);
    while (socket.m_nConnectState == 0) {
        if (app.m_bStopRequested || IsEnded()) break;
        if (Clock::now() >= deadline) {
            TestTimedOut(socket);
            break;
        }
        app.PumpMessages();
        QApplication::changeOverrideCursor(Qt::WaitCursor);
        std::this_thread::sleep_for(kTestStep);
    }
    QApplication::restoreOverrideCursor();
    if (socket.m_nState != 1) return false;
    if (socket.m_hSocket != INVALID_SOCKET) {
        socket.SendText("QUIT\r\n");
        app.PumpMessages();
        std::this_thread::sleep_for(kTestStep);
        socket.Disconnect();
    }
    return true;
}

// No outcome in time is a failed connect, reported as the socket reports one.
void CConfigDlg::TestTimedOut(CChannelSocket& socket) {
    CGatewayApp& app = TheApp();
    socket.Close();
    app.SetMailServerStatus(0);
    app.ReportError(ETIMEDOUT, "Could not connect to Mail Server");
    app.RefreshMonitor();
}

void CConfigDlg::OnOK() {
    if (m_bChanged) {
        MessageBox(kMustTest, "Error");
        return;
    }
    Settings& settings = LiveSettings();
    settings.SetMailServer(m_ctlMailServer->text().toStdString());
    settings.PortOut = FieldNumber(m_ctlPortOut);
    settings.PortIn = FieldNumber(m_ctlPortIn);
    std::vector<std::pair<std::string, bool>> rows;
    for (int nItem = 0; nItem < m_ctlServers->GetItemCount(); ++nItem)
        rows.emplace_back(m_ctlServers->GetItemText(nItem, 0).toStdString(),
                          m_ctlServers->GetItemText(nItem, 1) == QLatin1String("Yes"));
    {
        // One step, so that a screening sees the old list or the new one.
        Guard guard(settings.m_lock);
        settings.ClearDnsblServers();
        for (const auto& row : rows) settings.AddDnsblServer(row.first, row.second ? 1 : 0);
    }
    settings.SetLogFileName(m_ctlLogFile->text().toStdString());
    settings.RunAsService = m_ctlRunAsService->isChecked() ? 1 : 0;
    settings.EnableLogging = m_ctlEnableLogging->isChecked() ? 1 : 0;
    TheApp().SaveSettings();
    EndDialog(IDOK);
}

void CConfigDlg::OnCancel() {
    if (MessageBox("Configuration not saved\nExit?", "Warning", MB_YESNO) == IDYES)
        EndDialog(IDCANCEL);
}
