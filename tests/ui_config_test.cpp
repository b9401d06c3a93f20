#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdlib>

#include "settings/SettingsStore.h"
#include "tests/support/GatewayHarness.h"
#include "tests/support/Process.h"
#include "tests/support/RawPeer.h"
#include "tests/support/ui/UiDriver.h"
#include "ui/AddServerDlg.h"
#include "ui/ColorListCtrl.h"
#include "ui/ConfigDlg.h"
#include "ui/IPAddressCtrl.h"
#include "ui/QtFrontEnd.h"

namespace {
const std::string kMustTest =
    "You must successfully test your mail server configuration before you can save it.";
const std::string kTestWarning =
    "This test may take a while. Please be patient.\n\nPress Ok to begin test.";
const std::string kTestFailed =
    "Error Connecting to SMTP Server.\nMail Server must be running to properly configure "
    "Tarnwick Professional\nCheck your settings and try again.";
const std::string kSucceeded = "Port Connection to SMTP Server was Successful";
using Texts = std::vector<std::string>;

std::string Refused(int nCode) {
    return "Could not connect to Mail Server Error " + std::to_string(nCode) + "\n";
}

// The live settings of a running gateway, a hive in a temporary folder, and the dialog on them.
class ConfigDialog : public ::testing::Test {
protected:
    ConfigDialog() {
        setenv("TARNWICK_REGISTRY", m_strHive.c_str(), 1);
        Settings& settings = m_gateway.m_app.m_settings;
        settings.AddDnsblServer("zen.example", 1);
        settings.AddDnsblServer("old.example", 0);
        settings.AddExclusion("192.0.2.10", 1);
    }
    ~ConfigDialog() override { unsetenv("TARNWICK_REGISTRY"); }

    CConfigDlg& Open() {
        m_pDialog = std::make_unique<CConfigDlg>(m_gateway.m_app);
        m_pDialog->Create();
        m_pDialog->show();
        m_gateway.m_boxes.Clear();
        return *m_pDialog;
    }
    void SetField(int nId, const QString& strText) {
        Item<QLineEdit>(m_pDialog.get(), nId)->clear();
        Type(m_pDialog.get(), nId, strText);
    }
    std::vector<std::string> BoxTexts() {
        std::vector<std::string> texts = m_gateway.Reports();
        m_gateway.m_boxes.Clear();
        return texts;
    }
    std::vector<std::string> Rows(int nList) {
        std::vector<std::string> rows;
        auto* pList = Item<CColorListCtrl>(m_pDialog.get(), nList);
        for (int i = 0; i < pList->GetItemCount(); ++i)
            rows.push_back((pList->GetItemText(i, 0) + " " + pList->GetItemText(i, 1) + " " +
                            pList->GetItemText(i, 2))
                               .toStdString());
        return rows;
    }
    std::string Hive() { return ReadFileBytes(m_strHive); }
    // Asks for the test and lets the UI thread run until its outcome has been told.
    void RunTest(CConfigDlg& dialog) {
        Click(&dialog, 1034);
        EXPECT_TRUE(WaitUntil([&] { return dialog.m_bTestRunning == 0; }));
    }

    CGatewayHarness m_gateway;
    std::string m_strHive = m_gateway.m_dir.File("registry.reg");
    std::unique_ptr<CConfigDlg> m_pDialog;
};
}  // namespace

TEST_F(ConfigDialog, SaveNeedsASuccessfulTestOnlyAfterTheMailServerOrItsPortWasEdited) {
    // Saved at once, or after edits of anything but the server and its port.
    const std::vector<std::function<void(CConfigDlg&)>> harmless = {
        [](CConfigDlg&) {},
        [this](CConfigDlg&) { SetField(1010, "2525"); },
        [this](CConfigDlg&) { SetField(1002, "other.log"); },
        [](CConfigDlg& dialog) { Click(&dialog, 1030); },
        [](CConfigDlg& dialog) {
            ClickRow(dialog.m_ctlServers, 0);
            Click(&dialog, 1020);
        },
    };
    for (const auto& edit : harmless) {
        CConfigDlg& dialog = Open();
        edit(dialog);
        Click(&dialog, IDOK);
        EXPECT_EQ(dialog.result(), IDOK);
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_TRUE(BoxTexts().empty());
    }
    // Save leaves its settings in the application's record, for the caller to save.
    EXPECT_EQ(m_gateway.m_app.m_settings.LogFileName, "other.log");
    EXPECT_EQ(m_gateway.m_app.m_settings.PortIn, 2525);
    EXPECT_FALSE(Contains(Hive(), "other.log")) << "saved once, by the caller, not here";

    // Typing in the server or its port: neither Save nor Enter gets through.
    for (int nId : {1001, 1014}) {
        CConfigDlg& dialog = Open();
        Type(&dialog, nId, "9");
        Click(&dialog, IDOK);
        QTest::keyClick(Item<QLineEdit>(&dialog, nId), Qt::Key_Return);
        EXPECT_TRUE(dialog.isVisible());
        const std::vector<CRecordingMessageBox::CBox> boxes = m_gateway.m_boxes.Boxes();
        ASSERT_EQ(boxes.size(), 2u);
        for (const auto& box : boxes) {
            EXPECT_EQ(box.strText, kMustTest);
            EXPECT_EQ(box.strCaption, "Error");
            EXPECT_EQ(box.hOwner, &dialog);
        }
    }
}

TEST_F(ConfigDialog, TheTestConnectsToTheServerTypedAndTheListenerAcceptsAgainAfterwards) {
    std::atomic<bool> bQuit{false};
    CRawServer server;
    ASSERT_TRUE(server.Start([&](int fd) {
        SendAllFd(fd, "220 mail ready\r\n", 16);
        char buffer[64] = {};
        const ssize_t n = recv(fd, buffer, sizeof buffer - 1, 0);
        bQuit = n > 0 && std::string(buffer) == "QUIT\r\n";
        shutdown(fd, SHUT_RDWR);
    }));
    ASSERT_TRUE(m_gateway.Start(server.Port()));
    CConfigDlg& dialog = Open();
    SetField(1014, QString::number(server.Port()));
    ASSERT_EQ(dialog.m_bChanged, 1);

    // Refused without a connection: no server, port 0, out of range, not a number; cancelled.
    for (auto [pszServer, pszPort] :
         {std::pair{"", "25"}, {"127.0.0.1", "0"}, {"127.0.0.1", "70000"}, {"127.0.0.1", "x25"}}) {
        SetField(1001, pszServer);
        SetField(1014, pszPort);
        RunTest(dialog);
        EXPECT_EQ(BoxTexts(), Texts{"Please Specify a valid server and port"}) << pszPort;
    }
    SetField(1014, QString::number(server.Port()));
    m_gateway.m_boxes.Answer({IDCANCEL});
    RunTest(dialog);
    EXPECT_EQ(BoxTexts(), (Texts{kTestWarning, "Test Cancelled"}));

    RunTest(dialog);
    EXPECT_EQ(BoxTexts(), (Texts{kTestWarning, kSucceeded}));
    EXPECT_EQ(dialog.m_bChanged, 0);
    EXPECT_TRUE(WaitUntil([&] { return bQuit.load(); }));
    EXPECT_TRUE(Contains(m_gateway.m_window.GetLogText(), "->220 mail ready"));
    CRawClient client;
    ASSERT_NE(m_gateway.m_app.m_gateway.ListenThread(), nullptr);
    ASSERT_TRUE(client.Connect(m_gateway.m_nPortIn));
    EXPECT_TRUE(
        WaitUntil([&] { return m_gateway.m_app.m_gateway.m_counters.m_nConnections == 1; }));

    // Typed while the test waits: that text is not the tested one, so Save still refuses.
    bool bTypedDuringTest = false;
    QTimer::singleShot(0, [&] {
        Type(m_pDialog.get(), 1001, ".1");
        bTypedDuringTest = true;
    });
    RunTest(dialog);
    EXPECT_TRUE(bTypedDuringTest);
    EXPECT_EQ(BoxTexts(), (Texts{kTestWarning, kSucceeded}));
    EXPECT_EQ(dialog.m_bChanged, 1);

    // A closed port: the socket's report, then the dialog's; the edit still needs a test.
    SetField(1001, "127.0.0.1");
    int fdRefusing = -1;
    SetField(1014, QString::number(RefusingTcpPort(fdRefusing)));
    RunTest(dialog);
    EXPECT_EQ(BoxTexts(), (Texts{kTestWarning, Refused(ECONNREFUSED), kTestFailed}));
    EXPECT_EQ(dialog.m_bChanged, 1);
    EXPECT_EQ(m_gateway.m_app.m_gateway.m_counters.m_nMailServerStatus, 0);
    close(fdRefusing);

    // A server that never answers the connect: a failed connect once the limit has passed.
    int fdFull = -1, fdFiller = -1;
    const int nStalled = StalledTcpPort(fdFull, fdFiller);
    ASSERT_NE(nStalled, 0);
    dialog.m_nTestLimitMs = 300;
    SetField(1014, QString::number(nStalled));
    RunTest(dialog);
    close(fdFull);
    close(fdFiller);
    EXPECT_EQ(BoxTexts(), (Texts{kTestWarning, Refused(ETIMEDOUT), kTestFailed}));
}

TEST_F(ConfigDialog, ListEditsChangeTheLiveListsAndSaveWritesThemInOrder) {
    CConfigDlg& dialog = Open();
    EXPECT_FALSE(Item<QCheckBox>(&dialog, 1029)->isChecked());
    EXPECT_FALSE(Item<QCheckBox>(&dialog, 1029)->isEnabled());
    EXPECT_EQ(Rows(1011), (Texts{"old.example No 8421631", "zen.example Yes "}));

    // Remove answered No, then Yes.
    m_gateway.m_boxes.Answer({IDNO, IDYES});
    for (int i = 0; i < 2; ++i) {
        ClickRow(dialog.m_ctlServers, 0);
        Click(&dialog, 1013);
    }
    const auto boxes = m_gateway.m_boxes.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].strText,
              "Are you sure you want to permanently remove server 'old.example' ?");
    EXPECT_EQ(boxes[0].strCaption, "WARNING");
    EXPECT_EQ(boxes[0].nButtons, MB_YESNO);
    EXPECT_EQ(boxes[0].nIcon, MB_ICONEXCLAMATION);
    EXPECT_EQ(Rows(1011), (Texts{"zen.example Yes "}));

    // Activate flips the entry; the button reads Disable for an active one.
    ClickRow(dialog.m_ctlServers, 0);
    EXPECT_EQ(dialog.m_ctlActivateServer->text(), "Disable");
    Click(&dialog, 1020);
    EXPECT_EQ(Rows(1011), (Texts{"zen.example No 8421631"}));
    // Each edit took effect at once: the configuration in force asks no zone now.
    EXPECT_TRUE(m_gateway.m_app.m_gateway.CurrentConfig()->pPolicy->zones.empty());

    // Adds: blanks add nothing, blanks around a zone go, a 99th byte is refused.
    const std::string str98 = std::string(90, 'z') + ".example";
    for (const std::string& strTyped : {std::string("   "), std::string("  zone  "), str98 + "x"}) {
        OnNextModal([strTyped](QWidget* pModal) {
            Type(pModal, 1015, QString::fromStdString(strTyped));
            Click(pModal, IDOK);
        });
        Click(&dialog, 1012);
    }
    OnNextModal([](QWidget* pModal) {
        Item<CIPAddressCtrl>(pModal, 1024)->FocusField(0);
        for (char ch : std::string("10.0.0.1")) QTest::keyClick(pModal->focusWidget(), ch);
        Click(pModal, IDOK);
    });
    Click(&dialog, 1015);
    EXPECT_EQ(Rows(1011), (Texts{"zen.example No 8421631", "zone Yes ", str98 + " Yes "}));
    EXPECT_EQ(Rows(1021), (Texts{"10.0.0.1 Yes ", "192.0.2.10 Yes "}));

    m_gateway.m_boxes.Clear();
    Click(&dialog, IDOK);
    ASSERT_EQ(dialog.result(), IDOK);
    ASSERT_TRUE(m_gateway.m_app.SaveSettings());  // what Configure does with it
    // The DNSBL list is rebuilt from the rows (the last row first); exclusions newest first.
    EXPECT_TRUE(Contains(Hive(), "\"RunAsService\"=\"0\"\n\"EnableLogging\"=\"1\"\n")) << Hive();
    EXPECT_TRUE(
        Contains(Hive(), "\"DNSBL_0\"=\"+" + str98 +
                             "\"\n\"DNSBL_1\"=\"+zone\"\n"
                             "\"DNSBL_2\"=\"-zen.example\"\n\"DNSBL_Servers\"=\"3\"\n"
                             "\"Exclusion_0\"=\"+10.0.0.1\"\n\"Exclusion_1\"=\"+192.0.2.10\""
                             "\n\"Exclusions\"=\"2\"\n"))
        << Hive();
}

TEST_F(ConfigDialog, EscapeAfterARemoveLeavesTheEntryGoneInMemoryAndTheHiveUnchanged) {
    m_gateway.m_app.SaveSettings();
    const std::string strHive = Hive();
    CConfigDlg& dialog = Open();
    m_gateway.m_boxes.Answer({IDYES, IDNO, IDYES});
    ClickRow(dialog.m_ctlExclusions, 0);
    Click(&dialog, 1016);
    QTest::keyClick(&dialog, Qt::Key_Escape);  // answered No: stays open
    EXPECT_TRUE(dialog.isVisible());
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_EQ(dialog.result(), IDCANCEL);
    EXPECT_EQ(BoxTexts(),
              (Texts{"Are you sure you want to permanently remove Exclusion "
                     "'192.0.2.10' ?",
                     "Configuration not saved\nExit?", "Configuration not saved\nExit?"}));
    EXPECT_EQ(m_gateway.m_app.m_settings.Exclusions->m_strAddress, "");
    EXPECT_EQ(Hive(), strHive);
}

TEST_F(ConfigDialog, ConfigureReloadsAfterASaveButKeepsTheListsWhenTheSaveFailed) {
    CQtFrontEnd desktop;
    m_gateway.m_app.SetFrontEnd(&desktop);
    for (bool bWritable : {true, false}) {
        if (!bWritable) setenv("TARNWICK_REGISTRY", m_gateway.m_dir.Path().c_str(), 1);
        OnNextModal([](QWidget* pModal) { Click(pModal, IDOK); });
        m_gateway.m_app.Configure(true);
        // Reloaded from the hive, or (the save failed) as the dialog left them: never emptied.
        const CDnsblServer* pHead = m_gateway.m_app.m_settings.DNSBL_Servers;
        ASSERT_NE(pHead, nullptr) << bWritable;
        EXPECT_NE(pHead->m_pNext, nullptr);
        EXPECT_NE(m_gateway.m_app.m_settings.Exclusions, nullptr);
    }
    EXPECT_TRUE(Contains(BoxTexts().back(), "Unable to open Tarnwick registry key."));
}
