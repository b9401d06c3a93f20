#include "ui/ConfigDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <cerrno>

#include "gateway/ChannelSocket.h"
#include "host/GatewayApp.h"
#include "ui/AddExclusionDlg.h"
#include "ui/AddServerDlg.h"
#include "ui/ColorListCtrl.h"
#include "ui/TextLimit.h"

namespace {
// How long the test's QUIT has to go out before the connection is closed.
constexpr int kQuitWaitMs = 50;

constexpr const char* kInvalidServer = "Please Specify a valid server and port";
constexpr const char* kTestWarning =
    "This test may take a while. Please be patient.\n\nPress Ok to begin test.";
constexpr const char* kTestSucceeded = "Port Connection to SMTP Server was Successful";
constexpr const char* kTestFailed =
    "Error Connecting to SMTP Server.\nMail Server must be running to properly configure "
    "Tarnwick Professional\nCheck your settings and try again.";
constexpr const char* kMustTest =
    "You must successfully test your mail server configuration before you can save it.";

// One list entry as the dialog shows it.
struct CRow {
    std::string strText;
    std::int32_t bActive;
    std::int32_t nId;
};

// The two lists' entries, told apart by type.
CDnsblServer* FindEntry(Settings& settings, CDnsblServer*, int nId) {
    return settings.FindDnsblServer(nId);
}
CExclusion* FindEntry(Settings& settings, CExclusion*, int nId) {
    return settings.FindExclusion(nId);
}
std::string& EntryText(CDnsblServer& entry) { return entry.m_strName; }
std::string& EntryText(CExclusion& entry) { return entry.m_strAddress; }

template <class TEntry>
std::vector<CRow> Rows(const CEntryList<TEntry>& list) {
    std::vector<CRow> rows;
    for (TEntry* p = list; p; p = p->m_pNext)
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

// Asks the question with the selected entry's text; on Yes the entry counts as removed. True
// when the settings changed.
template <class TEntry>
bool RemoveSelected(CDialog& dialog, Settings& settings, const CColorListCtrl& list,
                    const std::string& strQuestion) {
    const int nId = SelectedId(list);
    TEntry* pEntry = nId >= 0 ? FindEntry(settings, static_cast<TEntry*>(nullptr), nId) : nullptr;
    if (pEntry == nullptr) return false;
    if (dialog.MessageBox(strQuestion + EntryText(*pEntry) + "' ?", "WARNING", MB_YESNO,
                          MB_ICONEXCLAMATION) != IDYES)
        return false;
    EntryText(*pEntry).clear();
    return true;
}

template <class TEntry>
bool FlipSelected(Settings& settings, const CColorListCtrl& list) {
    const int nId = SelectedId(list);
    TEntry* pEntry = nId >= 0 ? FindEntry(settings, static_cast<TEntry*>(nullptr), nId) : nullptr;
    if (pEntry == nullptr) return false;
    pEntry->m_bActive = pEntry->m_bActive == 0 ? 1 : 0;
    return true;
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
    const Settings& settings = m_settings;
    m_ctlMailServer->setText(QString::fromStdString(settings.MailServer));
    m_ctlPortOut->setText(QString::number(settings.PortOut));
    m_ctlPortIn->setText(QString::number(settings.PortIn));
    m_ctlRunAsService->setChecked(false);
    m_ctlRunAsService->setEnabled(false);
    m_ctlEnableLogging->setChecked(settings.EnableLogging != 0);
    m_ctlLogFile->setText(QString::fromStdString(settings.LogFileName));
    m_bChanged = 0;
    OnEnableLogging();
    return true;
}

void CConfigDlg::FillServerList() {
    FillList(*m_ctlServers, Rows(m_settings.DNSBL_Servers), kInactiveServer);
    m_ctlRemoveServer->setEnabled(false);
    m_ctlActivateServer->setEnabled(false);
}

void CConfigDlg::FillExclusionList() {
    FillList(*m_ctlExclusions, Rows(m_settings.Exclusions), kInactiveExclusion);
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
    const CDnsblServer* pServer = m_settings.FindDnsblServer(nId);
    if (pServer == nullptr) return;
    const bool bActive = pServer->m_bActive != 0;
    m_ctlActivateServer->setText(bActive ? QStringLiteral("Disable") : QStringLiteral("Activate"));
    m_ctlRemoveServer->setEnabled(true);
    m_ctlActivateServer->setEnabled(true);
}

void CConfigDlg::OnClickExclusionList() {
    const int nId = SelectedId(*m_ctlExclusions);
    m_ctlRemoveExclusion->setEnabled(nId >= 0);
    m_ctlActivateExclusion->setEnabled(nId >= 0);
    if (nId < 0) return;
    if (const CExclusion* pExclusion = m_settings.FindExclusion(nId))
        m_ctlActivateExclusion->setText(pExclusion->m_bActive ? QStringLiteral("Disable")
                                                              : QStringLiteral("Activate"));
}

// The list edits take effect at once: each one that changed something is published.
void CConfigDlg::ListEdited(bool bChanged) {
    if (bChanged) m_app.TakeEditedSettings(m_settings);
}

void CConfigDlg::OnActivateServer() {
    ListEdited(FlipSelected<CDnsblServer>(m_settings, *m_ctlServers));
    FillServerList();
}

void CConfigDlg::OnActivateExclusion() {
    ListEdited(FlipSelected<CExclusion>(m_settings, *m_ctlExclusions));
    FillExclusionList();
}

void CConfigDlg::OnRemoveServer() {
    ListEdited(RemoveSelected<CDnsblServer>(
        *this, m_settings, *m_ctlServers, "Are you sure you want to permanently remove server '"));
    FillServerList();
}

void CConfigDlg::OnRemoveExclusion() {
    ListEdited(
        RemoveSelected<CExclusion>(*this, m_settings, *m_ctlExclusions,
                                   "Are you sure you want to permanently remove Exclusion '"));
    FillExclusionList();
}

void CConfigDlg::OnAddServer() {
    CAddServerDlg dialog(this);
    if (dialog.DoModal() == IDOK && !dialog.m_strResult.empty()) {
        m_settings.AddDnsblServer(dialog.m_strResult, 1);
        ListEdited(true);
    }
    FillServerList();
}

void CConfigDlg::OnAddExclusion() {
    CAddExclusionDlg dialog(this);
    if (dialog.DoModal() == IDOK && !dialog.m_strResult.empty()) {
        m_settings.AddExclusion(dialog.m_strResult, 1);
        ListEdited(true);
    }
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
    StartTest(strServer, strPort);
}

// The test's connection: a client-less channel whose connect outcome the dialog takes on a turn
// of its own, never inside the socket's notification, so that the boxes that follow (the
// channel's own report of a failed connect among them) nest in nothing.
class CConfigDlg::CTestChannel : public CChannelSocket {
public:
    CTestChannel(CConfigDlg& dialog, CGatewayApp& app)
        : CChannelSocket(app.m_log, app.m_gateway), m_dialog(dialog) {}

    // A test that has ended meanwhile (timed out, or replaced) takes no outcome any more.
    void OnConnect(int nErrorCode) override {
        CConfigDlg& dialog = m_dialog;
        QTimer::singleShot(0, &dialog, [&dialog, pSelf = this, nErrorCode] {
            if (dialog.m_pTest.get() != pSelf || dialog.m_pTestTimer == nullptr) return;
            pSelf->CChannelSocket::OnConnect(nErrorCode);
            dialog.OnTestConnected();
        });
    }

private:
    CConfigDlg& m_dialog;
};

CConfigDlg::CConfigDlg(CGatewayApp& app, QWidget* pParent)
    : CDialog(IDD_CONFIG, pParent), m_settings(app.m_settings), m_app(app) {}

// A dialog closed during the test (the program leaving) shows no outcome: nobody is left to
// tell.
CConfigDlg::~CConfigDlg() {
    if (m_bTestRunning) QApplication::restoreOverrideCursor();
}

// The listener goes on beside the test, which needs only a socket of its own on this thread's
// loop; the outcome comes from the socket or, after m_nTestLimitMs, from the timer.
void CConfigDlg::StartTest(const QString& strServer, const QString& strPort) {
    m_strTestedServer = strServer;
    m_strTestedPort = strPort;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_pTest = std::make_unique<CTestChannel>(*this, m_app);
    m_pTest->Create(0, SOCK_STREAM, FD_ALL_EVENTS);
    m_pTest->Connect(strServer.toStdString(), static_cast<unsigned>(Atol(strPort.toStdString())));
    m_pTestTimer = new QTimer(this);
    m_pTestTimer->setSingleShot(true);
    connect(m_pTestTimer, &QTimer::timeout, this, [this] { TestTimedOut(); });
    m_pTestTimer->start(m_nTestLimitMs);
}

// Connected: QUIT goes out, and the connection closes a moment later.
void CConfigDlg::OnTestConnected() {
    if (!m_bTestRunning || m_pTestTimer == nullptr) return;
    m_pTestTimer->stop();
    if (m_pTest->m_nState != 1) return FinishTest(false);
    m_pTest->SendText("QUIT\r\n");
    QTimer::singleShot(kQuitWaitMs, this, [this] {
        m_pTest->Disconnect();
        FinishTest(true);
    });
}

// No outcome in time is a failed connect, reported as the socket reports one.
void CConfigDlg::TestTimedOut() {
    m_pTest->Close();
    m_app.m_gateway.SetMailServerStatus(0);
    m_app.ReportError(ETIMEDOUT, "Could not connect to Mail Server");
    m_app.RefreshMonitor();
    FinishTest(false);
}

// The socket stays until the next test or the dialog's end: this may run inside its handler.
void CConfigDlg::FinishTest(bool bConnected) {
    delete m_pTestTimer;
    m_pTestTimer = nullptr;
    QApplication::restoreOverrideCursor();
    if (bConnected) {
        MessageBox(kTestSucceeded, "Success");
        if (m_ctlMailServer->text() == m_strTestedServer && m_ctlPortOut->text() == m_strTestedPort)
            m_bChanged = 0;
    } else {
        MessageBox(kTestFailed, "Error");
    }
    m_bTestRunning = 0;
}

void CConfigDlg::OnOK() {
    if (m_bChanged) {
        MessageBox(kMustTest, "Error");
        return;
    }
    Settings& settings = m_settings;
    settings.MailServer = m_ctlMailServer->text().toStdString();
    settings.PortOut = FieldNumber(m_ctlPortOut);
    settings.PortIn = FieldNumber(m_ctlPortIn);
    std::vector<std::pair<std::string, bool>> rows;
    for (int nItem = 0; nItem < m_ctlServers->GetItemCount(); ++nItem)
        rows.emplace_back(m_ctlServers->GetItemText(nItem, 0).toStdString(),
                          m_ctlServers->GetItemText(nItem, 1) == QLatin1String("Yes"));
    settings.ClearDnsblServers();
    for (const auto& row : rows) settings.AddDnsblServer(row.first, row.second ? 1 : 0);
    settings.LogFileName = m_ctlLogFile->text().toStdString();
    settings.RunAsService = m_ctlRunAsService->isChecked() ? 1 : 0;
    settings.EnableLogging = m_ctlEnableLogging->isChecked() ? 1 : 0;
    // The caller saves and reloads what the dialog leaves here.
    m_app.m_settings = settings;
    EndDialog(IDOK);
}

void CConfigDlg::OnCancel() {
    if (MessageBox("Configuration not saved\nExit?", "Warning", MB_YESNO) == IDYES)
        EndDialog(IDCANCEL);
}
