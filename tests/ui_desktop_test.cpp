#include <gtest/gtest.h>

#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <thread>

#include "tests/support/GatewayHarness.h"
#include "tests/support/Process.h"
#include "tests/support/RawPeer.h"
#include "tests/support/ui/UiDriver.h"
#include "ui/ConfigDlg.h"
#include "ui/Desktop.h"
#include "ui/QtMessageBox.h"

namespace {
const std::string kTestWarningForListener =
    "This test may take a while. Please be patient.\n\nPress Ok to begin test.";
}

TEST(QtMessageBoxes, ShowCaptionTextButtonsAndIconAndYesNoIgnoresEscape) {
    CQtMessageBox& boxes = CDesktop::Instance()->MessageBoxes();
    QWidget owner;
    struct CCase {
        int nButtons, nIcon, nAnswerAfterEscape;
        QMessageBox::Icon icon;
    };
    for (const CCase& c : {CCase{MB_YESNO, MB_ICONEXCLAMATION, IDYES, QMessageBox::Warning},
                           CCase{MB_OKCANCEL, MB_ICONNONE, IDCANCEL, QMessageBox::NoIcon},
                           CCase{MB_OK, MB_ICONINFORMATION, IDOK, QMessageBox::Information}}) {
        bool bChecked = false;
        OnNextModal([&](QWidget* pModal) {
            auto* pBox = qobject_cast<QMessageBox*>(pModal);
            ASSERT_NE(pBox, nullptr);
            EXPECT_EQ(pBox->windowTitle(), "Caption");
            EXPECT_EQ(pBox->text(), "Line one\n<b>two</b>");
            EXPECT_EQ(pBox->icon(), c.icon);
            EXPECT_EQ(pBox->parentWidget(), &owner);
            EXPECT_EQ(pBox->defaultButton()->objectName(),
                      QString::number(c.nButtons == MB_YESNO ? IDYES : IDOK));
            QTest::keyClick(pBox, Qt::Key_Escape);
            pBox->close();
            bChecked = true;
            // A Yes/No box is still up after Escape and the close box: it must be answered.
            EXPECT_EQ(pBox->isVisible(), c.nButtons == MB_YESNO);
            if (pBox->isVisible()) Click(pBox, IDYES);
        });
        EXPECT_EQ(boxes.ShowOwned(&owner, "Line one\n<b>two</b>", "Caption", c.nButtons, c.nIcon),
                  c.nAnswerAfterEscape);
        EXPECT_TRUE(bChecked);
    }
}

// The listener reports a failed connect while the dialog's test waits for that listener to stop:
// the box is shown on the UI thread, not modal, the dialog takes input meanwhile, and once it is
// answered the test goes on and the listener is started again.
TEST(QtMessageBoxes, AListenerBoxWhileTheDialogsTestWaitsLeavesTheDialogUsable) {
    CGatewayHarness gateway;
    SetMessageBoxService(&CDesktop::Instance()->MessageBoxes());
    int fdRefusing = -1;
    ASSERT_TRUE(gateway.Start(RefusingTcpPort(fdRefusing)));  // the mail server is down
    CConfigDlg dialog;
    QTimer::singleShot(30000, &dialog, [&] { dialog.EndDialog(IDCANCEL); });  // should it stall
    CRawClient client;
    OnNextModal([&](QWidget*) { ASSERT_TRUE(client.Connect(gateway.m_nPortIn)); });
    std::vector<std::string> texts;
    bool bTestStarted = false, bDialogUsable = false;
    CBoxAnswerer answerer([&](QMessageBox* pBox) -> int {
        const std::string strText = pBox->text().toStdString();
        if (pBox->windowModality() == Qt::NonModal) {  // the listener's box
            if (!bTestStarted) {
                bTestStarted = true;
                QTimer::singleShot(0, [&] { Click(&dialog, 1034); });
                return 0;
            }
            if (texts.empty() || texts.back() != kTestWarningForListener) return 0;
            Type(&dialog, 1002, "x");
            bDialogUsable = Item<QLineEdit>(&dialog, 1002)->text().endsWith("x") &&
                            QApplication::activeModalWidget() == &dialog;
        }
        texts.push_back(strText);
        if (Contains(strText, "Error Connecting"))
            QTimer::singleShot(0, [&] { dialog.EndDialog(IDCANCEL); });
        return IDOK;
    });
    dialog.DoModal();
    EXPECT_TRUE(bDialogUsable);
    const std::string strRefused =
        "Could not connect to Mail Server Error " + std::to_string(ECONNREFUSED) + "\n";
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[1], strRefused);  // the listener's, answered while the test waited
    EXPECT_EQ(texts[2], strRefused);  // the test's own connect
    EXPECT_TRUE(Contains(texts[3], "Error Connecting to SMTP Server."));
    EXPECT_NE(gateway.m_app.m_pListenThread, nullptr);
    EXPECT_EQ(gateway.m_app.m_nListenThreads, 1);
    close(fdRefusing);
}

// A listener box that came while another box was up outlives that box and is still answered.
TEST(QtMessageBoxes, AListenerBoxOutlivesTheModalBoxItStoodOver) {
    CGatewayApp app;  // its pump serves the UI thread's loop while the test waits
    CQtMessageBox& boxes = CDesktop::Instance()->MessageBoxes();
    std::atomic<int> nListenerAnswer{0};
    std::thread listener;
    QPointer<QMessageBox> pListenerBox;
    OnNextModal([&](QWidget* pModal) {
        listener =
            std::thread([&] { nListenerAnswer = boxes.Show("Listener", "Error", MB_OK, 0); });
        ASSERT_TRUE(WaitUntil([&] {
            pListenerBox = pModal->findChild<QMessageBox*>();
            return pListenerBox && pListenerBox->isVisible();
        }));
        Click(pModal, IDNO);
    });
    EXPECT_EQ(boxes.Show("Exit?", "Warning", MB_YESNO, 0), IDNO);  // that box is gone now
    ASSERT_TRUE(pListenerBox && pListenerBox->isVisible());
    EXPECT_EQ(nListenerAnswer, 0);
    Click(pListenerBox, IDOK);
    listener.join();
    EXPECT_EQ(nListenerAnswer, IDOK);
}
