#include "ui/QtMessageBox.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "ui/Desktop.h"

namespace {
int DefaultAnswer(int nButtons) { return nButtons == MB_YESNO ? IDYES : IDOK; }

// A box that can refuse Escape and the close box, as a Yes/No box does.
class CBox : public QMessageBox {
public:
    CBox(QWidget* pOwner, bool bMustAnswer) : QMessageBox(pOwner), m_bMustAnswer(bMustAnswer) {}

protected:
    void keyPressEvent(QKeyEvent* pEvent) override {
        if (m_bMustAnswer && pEvent->key() == Qt::Key_Escape) return;
        QMessageBox::keyPressEvent(pEvent);
    }
    void closeEvent(QCloseEvent* pEvent) override {
        if (m_bMustAnswer) {
            pEvent->ignore();
            return;
        }
        QMessageBox::closeEvent(pEvent);
    }

private:
    bool m_bMustAnswer;
};

QMessageBox::Icon BoxIcon(int nIcon) {
    switch (nIcon & 0xF0) {
        case MB_ICONERROR:
            return QMessageBox::Critical;
        case MB_ICONQUESTION:
            return QMessageBox::Question;
        case MB_ICONEXCLAMATION:
            return QMessageBox::Warning;
        case MB_ICONINFORMATION:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

// A box standing over a modal dialog moves over the next one (or stands alone) when that dialog
// ends, instead of going with it unanswered.
void KeepAboveModal(QMessageBox* pBox) {
    auto* pOwner = qobject_cast<QDialog*>(pBox->parentWidget());
    if (pOwner == nullptr) return;
    QObject::connect(pOwner, &QDialog::finished, pBox, [pBox] {
        pBox->setParent(QApplication::activeModalWidget(), pBox->windowFlags());
        pBox->show();
        KeepAboveModal(pBox);
    });
}

// A box on the UI thread that does not block it: not modal, over the modal dialog of the moment
// (moving over the next one), deleted once closed. onAnswer gets the box's result when it is
// answered; onGone runs when it is destroyed, answered or not.
QMessageBox* ShowModeless(const std::string& strText, const std::string& strCaption, int nButtons,
                          int nIcon, std::function<void(int)> onAnswer,
                          std::function<void()> onGone) {
    QMessageBox* pBox = CQtMessageBox::CreateBox(QApplication::activeModalWidget(), strText,
                                                 strCaption, nButtons, nIcon);
    pBox->setAttribute(Qt::WA_DeleteOnClose);
    pBox->setWindowModality(Qt::NonModal);
    QObject::connect(pBox, &QDialog::finished, pBox, std::move(onAnswer));
    QObject::connect(pBox, &QObject::destroyed, std::move(onGone));
    KeepAboveModal(pBox);
    pBox->show();
    pBox->raise();
    return pBox;
}

// The answer of a box shown on the UI thread for a waiting thread, given once.
class CPendingAnswer {
public:
    void Give(int nAnswer) {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_bGiven) return;
        m_bGiven = true;
        m_nAnswer = nAnswer;
        m_given.notify_all();
    }
    int Wait() {
        std::unique_lock<std::mutex> guard(m_lock);
        m_given.wait(guard, [this] { return m_bGiven; });
        return m_nAnswer;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_given;
    bool m_bGiven = false;
    int m_nAnswer = 0;
};
}  // namespace

QMessageBox* CQtMessageBox::CreateBox(QWidget* pOwner, const std::string& strText,
                                      const std::string& strCaption, int nButtons, int nIcon) {
    auto* pBox = new CBox(pOwner, nButtons == MB_YESNO);
    pBox->setWindowTitle(QString::fromStdString(strCaption));
    pBox->setTextFormat(Qt::PlainText);
    pBox->setText(QString::fromStdString(strText));
    pBox->setIcon(BoxIcon(nIcon));
    const std::pair<QMessageBox::StandardButton, int> order[2] = {
        nButtons == MB_YESNO ? std::pair{QMessageBox::Yes, IDYES}
                             : std::pair{QMessageBox::Ok, IDOK},
        nButtons == MB_YESNO ? std::pair{QMessageBox::No, IDNO}
                             : std::pair{QMessageBox::Cancel, IDCANCEL}};
    const int nCount = nButtons == MB_OK ? 1 : 2;
    for (int i = 0; i < nCount; ++i) {
        QPushButton* pButton = pBox->addButton(order[i].first);
        pButton->setObjectName(QString::number(order[i].second));
        if (i == 0) pBox->setDefaultButton(pButton);
    }
    if (nButtons == MB_YESNO)
        pBox->setWindowFlags(pBox->windowFlags() & ~Qt::WindowCloseButtonHint);
    return pBox;
}

int CQtMessageBox::Answer(int nResult) {
    switch (nResult) {
        case QMessageBox::Cancel:
            return IDCANCEL;
        case QMessageBox::Yes:
            return IDYES;
        case QMessageBox::No:
            return IDNO;
        default:
            return IDOK;
    }
}

int CQtMessageBox::ShowOwned(WindowHandle hOwner, const std::string& strText,
                             const std::string& strCaption, int nButtons, int nIcon) {
    if (!m_desktop.IsUiThread()) return ShowFromOtherThread(strText, strCaption, nButtons, nIcon);
    std::unique_ptr<QMessageBox> pBox(
        CreateBox(static_cast<QWidget*>(hOwner), strText, strCaption, nButtons, nIcon));
    if (nIcon & MB_SETFOREGROUND) {
        pBox->show();
        pBox->raise();
        pBox->activateWindow();
    }
    return Answer(pBox->exec());
}

int CQtMessageBox::ShowFromOtherThread(const std::string& strText, const std::string& strCaption,
                                       int nButtons, int nIcon) {
    auto pAnswer = std::make_shared<CPendingAnswer>();
    const int nDefault = DefaultAnswer(nButtons);
    const bool bShown = m_desktop.Invoke([&] {
        ShowModeless(
            strText, strCaption, nButtons, nIcon,
            [pAnswer](int nResult) { pAnswer->Give(Answer(nResult)); },
            [pAnswer, nDefault] { pAnswer->Give(nDefault); });
    });
    return bShown ? pAnswer->Wait() : nDefault;
}

void CQtMessageBox::Notify(const std::string& strText, const std::string& strCaption,
                           std::function<void()> onDismissed) {
    if (m_desktop.IsUiThread()) return ShowNotice(strText, strCaption, std::move(onDismissed));
    auto pDismissed = std::make_shared<std::function<void()>>(std::move(onDismissed));
    const bool bPosted = m_desktop.Post([this, strText, strCaption, pDismissed] {
        ShowNotice(strText, strCaption, std::move(*pDismissed));
    });
    // Nobody is left to answer: the report counts as dismissed.
    if (!bPosted && *pDismissed) (*pDismissed)();
}

void CQtMessageBox::ShowNotice(const std::string& strText, const std::string& strCaption,
                               std::function<void()> onDismissed) {
    const std::string strKey = strCaption + '\n' + strText;
    auto it = m_notices.find(strKey);
    if (it != m_notices.end()) {
        if (onDismissed) it->second.dismissed.push_back(std::move(onDismissed));
        return;
    }
    const std::uint64_t nId = m_nNextNotice++;
    // Answered, or gone unanswered with a dialog it stood over.
    const auto end = [this, strKey, nId] { EndNotice(strKey, nId); };
    QMessageBox* pBox = ShowModeless(
        strText, strCaption, MB_OK, MB_ICONNONE, [end](int) { end(); }, end);
    CNotice& notice = m_notices[strKey] = CNotice{nId, pBox, {}};
    if (onDismissed) notice.dismissed.push_back(std::move(onDismissed));
}

// The notice leaves the open ones before its callbacks run, so that one of them may raise the
// same report anew.
void CQtMessageBox::EndNotice(const std::string& strKey, std::uint64_t nNotice) {
    auto it = m_notices.find(strKey);
    if (it == m_notices.end() || it->second.nId != nNotice) return;
    std::vector<std::function<void()>> dismissed = std::move(it->second.dismissed);
    m_notices.erase(it);
    if (m_bClosingNotices) return;
    for (const auto& fn : dismissed) fn();
}

void CQtMessageBox::CloseNotices() {
    m_bClosingNotices = true;
    std::vector<QMessageBox*> boxes;
    for (const auto& [strKey, notice] : m_notices) boxes.push_back(notice.pBox);
    for (QMessageBox* pBox : boxes) delete pBox;
    m_notices.clear();
}
