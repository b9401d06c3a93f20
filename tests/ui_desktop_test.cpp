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

#include "gateway/ListenThread.h"
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

namespace {
// The listener's boxes up now with this text: shown while it goes on, so not modal.
int ListenerBoxes(const std::string& strText) {
    int nCount = 0;
    for (QWidget* pWidget : QApplication::topLevelWidgets()) {
        auto* pBox = qobject_cast<QMessageBox*>(pWidget);
        nCount += pBox && pBox->isVisible() && pBox->windowModality() == Qt::NonModal &&
                  pBox->text().toStdString() == strText;
    }
    return nCount;
}

int Occurrences(const std::string& strText, const std::string& strPart) {
    int nCount = 0;
    for (size_t nAt = 0; (nAt = strText.find(strPart, nAt)) != std::string::npos; ++nAt) ++nCount;
    return nCount;
}
}  // namespace

// The listener reports a failed connect while the configuration dialog is open. Its box is
// shown on the UI thread, not modal, and holds nobody: the listener takes the next client at
// once, whose same report is logged but opens no second box; the dialog takes input; its
// mail-server test runs beside the listener, which is never stopped. Answering the box ends it.
TEST(QtMessageBoxes, AListenerBoxHoldsNeitherTheListenerNorTheDialog) {
    CGatewayHarness gateway;
    SetMessageBoxService(&CDesktop::Instance()->MessageBoxes());
    int fdRefusing = -1;
    ASSERT_TRUE(gateway.Start(RefusingTcpPort(fdRefusing)));  // the mail server is down
    const CListenThread* pListener = gateway.m_app.m_gateway.ListenThread();
    const std::string strRefused =
        "Could not connect to Mail Server Error " + std::to_string(ECONNREFUSED) + "\n";
    CConfigDlg dialog(gateway.m_app);
    QTimer::singleShot(30000, &dialog, [&] { dialog.EndDialog(IDCANCEL); });  // should it stall
    CRawClient first, second;
    int nBoxesForTwo = 0;
    bool bDialogUsable = false;
    OnNextModal([&](QWidget*) {
        ASSERT_TRUE(first.Connect(gateway.m_nPortIn));
        ASSERT_TRUE(WaitUntil([&] { return ListenerBoxes(strRefused) == 1; }));
        ASSERT_TRUE(second.Connect(gateway.m_nPortIn));
        ASSERT_TRUE(WaitUntil([&] { return Occurrences(gateway.ActivityLog(), strRefused) == 2; }));
        nBoxesForTwo = ListenerBoxes(strRefused);
        Type(&dialog, 1002, "x");
        bDialogUsable = Item<QLineEdit>(&dialog, 1002)->text().endsWith("x") &&
                        QApplication::activeModalWidget() == &dialog;
        QTimer::singleShot(0, [&] { Click(&dialog, 1034); });
    });
    std::vector<std::string> texts;  // the modal boxes, as they came
    CBoxAnswerer answerer([&](QMessageBox* pBox) -> int {
        if (pBox->windowModality() == Qt::NonModal) return 0;  // the listener's: left open
        texts.push_back(pBox->text().toStdString());
        if (Contains(texts.back(), "Error Connecting"))
            QTimer::singleShot(0, [&] { dialog.EndDialog(IDCANCEL); });
        return IDOK;
    });
    dialog.DoModal();
    EXPECT_EQ(nBoxesForTwo, 1);
    EXPECT_TRUE(bDialogUsable);
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], kTestWarningForListener);
    EXPECT_EQ(texts[1], strRefused);  // the test's own connect, on the UI thread
    EXPECT_TRUE(Contains(texts[2], "Error Connecting to SMTP Server."));
    EXPECT_EQ(gateway.m_app.m_gateway.ListenThread(), pListener);
    EXPECT_TRUE(gateway.m_app.m_gateway.HasListenThread());
    ASSERT_EQ(ListenerBoxes(strRefused), 1);  // still waiting for its answer
    for (QWidget* pWidget : QApplication::topLevelWidgets())
        if (auto* pBox = qobject_cast<QMessageBox*>(pWidget); pBox && pBox->isVisible())
            Click(pBox, IDOK);
    EXPECT_TRUE(WaitUntil([&] { return ListenerBoxes(strRefused) == 0; }));
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
