#include "tests/support/ui/UiDriver.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <memory>

#include "ui/Desktop.h"
#include "ui/ListCtrl.h"

namespace {
class CDesktopEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int s_argc = 1;
        static char s_name[] = "tarnwick-widget-test";
        static char* s_argv[] = {s_name, nullptr};
        m_pDesktop = std::make_unique<CDesktop>(s_argc, s_argv);
    }
    void TearDown() override { m_pDesktop.reset(); }

private:
    std::unique_ptr<CDesktop> m_pDesktop;
};

[[maybe_unused]] ::testing::Environment* const g_pDesktopEnvironment =
    ::testing::AddGlobalTestEnvironment(new CDesktopEnvironment);
}  // namespace

void Click(const QWidget* pWindow, int nId) {
    QAbstractButton* pButton = Item<QAbstractButton>(pWindow, nId);
    ASSERT_NE(pButton, nullptr) << nId;
    QTest::mouseClick(pButton, Qt::LeftButton);
}

void Type(const QWidget* pWindow, int nId, const QString& strText) {
    QLineEdit* pEdit = Item<QLineEdit>(pWindow, nId);
    ASSERT_NE(pEdit, nullptr) << nId;
    pEdit->setFocus();
    for (const QChar ch : strText) {
        if (ch.unicode() < 0x80)
            QTest::keyClick(pEdit, ch.toLatin1());
        else  // typed as a key that carries only its text, as an input method delivers it
            QTest::sendKeyEvent(QTest::Click, pEdit, Qt::Key_unknown, QString(ch), Qt::NoModifier);
    }
}

void ClickRow(CListCtrl* pList, int nRow) {
    const QRect rcRow = pList->visualItemRect(pList->topLevelItem(nRow));
    QTest::mouseClick(pList->viewport(), Qt::LeftButton, {}, rcRow.center());
}

void WhenReady(std::function<bool()> bReady, std::function<void()> fn) {
    auto* pTimer = new QTimer(qApp);
    QObject::connect(pTimer, &QTimer::timeout, pTimer, [pTimer, bReady, fn] {
        if (!bReady()) return;
        pTimer->stop();
        pTimer->deleteLater();
        fn();
    });
    pTimer->start(10);
}

void OnNextModal(std::function<void(QWidget*)> action) {
    QWidget* pCurrent = QApplication::activeModalWidget();
    auto nextModal = [pCurrent] {
        QWidget* pModal = QApplication::activeModalWidget();
        return pModal != nullptr && pModal != pCurrent;
    };
    WhenReady(nextModal, [action] { action(QApplication::activeModalWidget()); });
}

CBoxAnswerer::CBoxAnswerer(std::function<int(QMessageBox*)> answer) : m_pTimer(new QTimer()) {
    QObject::connect(m_pTimer, &QTimer::timeout, m_pTimer, [answer] {
        for (QWidget* pWindow : QApplication::topLevelWidgets()) {
            auto* pBox = qobject_cast<QMessageBox*>(pWindow);
            if (pBox == nullptr || !pBox->isVisible()) continue;
            if (const int nButton = answer(pBox)) {
                QAbstractButton* pButton = Item<QAbstractButton>(pBox, nButton);
                ASSERT_NE(pButton, nullptr) << nButton;
                pButton->click();
                return;  // the click may run a nested loop that changes the windows
            }
        }
    });
    m_pTimer->start(10);
}

CBoxAnswerer::~CBoxAnswerer() { delete m_pTimer; }

unsigned PixelAt(QWidget* pWidget, int x, int y) {
    return pWidget->grab().toImage().pixel(x, y) & 0xFFFFFF;
}
