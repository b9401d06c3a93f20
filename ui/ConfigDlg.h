// CConfigDlg: the configuration dialog (template 129). It edits a copy of the application's
// settings record (m_settings, taken at construction): the mail server and its port, the
// incoming port, logging, the DNSBL servers and the exclusions ("Run as Service" is always shown
// cleared and disabled). The list edits (add, remove, activate or disable) take effect at once:
// each one hands the edited copy back to the application, which publishes it. It tests the
// connection to the mail server, and Save refuses while the server or its port has been edited
// since the last successful test (m_bChanged). Save stores the fields, rebuilds the DNSBL list
// from the rows and leaves the result in the application's record, which the caller saves; the
// close box and Escape ask before closing unsaved.
//
// UI thread only. The test connects a client-less channel socket on the UI thread's loop while
// the listener goes on relaying and accepting beside it (the server's lines are echoed to the
// monitor's log pane); its outcome arrives later, from the socket or from a timer after
// m_nTestLimitMs (then it counts as a failed connect), and is told in a box. Nothing waits
// meanwhile: the dialog stays usable, and a second test is refused while one runs. Every
// refusal is a box owned by the dialog, which stays open. A dialog closed from outside during
// the test (the program leaving) shows no outcome.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "settings/Settings.h"

#include "ui/Dialog.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QTimer;
class CColorListCtrl;
class CGatewayApp;

class CConfigDlg : public CDialog {
public:
    static constexpr int kTestLimitMs = 30000;
    // Row colours of disabled entries.
    static constexpr std::uint32_t kInactiveServer = 8421631;
    static constexpr std::uint32_t kInactiveExclusion = 8355839;

    explicit CConfigDlg(CGatewayApp& app, QWidget* pParent = nullptr);
    ~CConfigDlg() override;

    // The dialog's copy of the settings.
    Settings m_settings;

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
    class CTestChannel;

    void ListEdited(bool bChanged);
    // The test: a connection to the server, which says QUIT once connected.
    void StartTest(const QString& strServer, const QString& strPort);
    void OnTestConnected();
    void TestTimedOut();
    void FinishTest(bool bConnected);

    CGatewayApp& m_app;
    std::unique_ptr<CTestChannel> m_pTest;
    QTimer* m_pTestTimer = nullptr;  // while a test runs
    QString m_strTestedServer, m_strTestedPort;
};
