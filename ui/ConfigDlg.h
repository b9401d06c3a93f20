// CConfigDlg: the configuration dialog (template 129). It edits the live settings record in
// place: the mail server and its port, the incoming port, logging, the DNSBL servers and the
// exclusions ("Run as Service" is always shown cleared and disabled). It tests the connection to
// the mail server, and Save refuses while the server or its port has been edited since the last
// successful test (m_bChanged). Save stores the fields, rebuilds the DNSBL list from the rows and
// saves through the application object; the close box and Escape ask before closing unsaved.
//
// UI thread only. List edits take the settings lock for the edit alone, never across a box, a
// nested dialog or a pump. The test connects a client-less channel socket on the UI thread
// while the listener goes on relaying and accepting beside it (the server's lines are echoed to
// the monitor's log pane), waits pumping for its outcome (at most m_nTestLimitMs, after which
// it counts as a failed connect) and reports the outcome in a box. Every refusal is a box owned
// by the dialog, which stays open. A dialog closed from outside during the test (the program
// leaving) stops waiting and shows no outcome.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ui/Dialog.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class CChannelSocket;
class CColorListCtrl;

class CConfigDlg : public CDialog {
public:
    static constexpr int kTestLimitMs = 30000;
    // Row colours of disabled entries.
    static constexpr std::uint32_t kInactiveServer = 8421631;
    static constexpr std::uint32_t kInactiveExclusion = 8355839;

    explicit CConfigDlg(QWidget* pParent = nullptr) : CDialog(IDD_CONFIG, pParent) {}

    std::int32_t m_bChanged = 0;
    std::int32_t m_bTestRunning = 0;
    QCheckBox* m_ctlRunAsService = nullptr;
    QLineEdit* m_ctlLogFile = nullptr;
    QCheckBox* m_ctlEnableLogging = nullptr;
    QPushButton* m_ctlRemoveExclusion = nullptr;
    QPushButton* m_ctlAddExclusion = nullptr;
    QPushButton* m_ctlActivateExclusion = nullptr;
    QPushButton* m_ctlActivateServer = nullptr;
    CColorListCtrl* m_ctlExclusions = nullptr;
    QLineEdit* m_ctlPortOut = nullptr;
    QLineEdit* m_ctlPortIn = nullptr;
    QLineEdit* m_ctlMailServer = nullptr;
    QPushButton* m_ctlAddServer = nullptr;
    QPushButton* m_ctlRemoveServer = nullptr;
    CColorListCtrl* m_ctlServers = nullptr;
    // How long the mail-server test waits for the connection's outcome.
    int m_nTestLimitMs = kTestLimitMs;

    void FillServerList();
    void FillExclusionList();
    void OnAddServer();
    void OnRemoveServer();
    void OnClickServerList();
    void OnActivateServer();
    void OnAddExclusion();
    void OnRemoveExclusion();
    void OnActivateExclusion();
    void OnClickExclusionList();
    void OnEnableLogging();
    void OnTestConfiguration();
    void OnMailSettingChanged() { m_bChanged = 1; }

protected:
    void DoDataExchange() override;
    bool OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;

private:
    // Connects to the server and says QUIT: true when the connection was made.
    bool TestMailServer(const std::string& strServer, int nPort);
    void TestTimedOut(CChannelSocket& socket);
};
