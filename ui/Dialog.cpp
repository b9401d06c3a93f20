#include "ui/Dialog.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>

#include "ui/ColorListCtrl.h"
#include "ui/IPAddressCtrl.h"
#include "ui/Menu.h"

namespace {
// MulDiv as dialog-unit conversion uses it: the product divided, rounded to the nearest.
int MulDiv(int nValue, int nMultiplier, int nDivisor) {
    return (nValue * nMultiplier + nDivisor / 2) / nDivisor;
}

QWidget* MakeEdit(const CControlTemplate& control, QWidget* pParent) {
    if (control.nStyle & CS_MULTILINE) {
        auto* pPane = new QPlainTextEdit(pParent);
        pPane->setLineWrapMode(QPlainTextEdit::NoWrap);
        pPane->setReadOnly(control.nStyle & CS_READONLY);
        pPane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        pPane->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        return pPane;
    }
    auto* pEdit = new QLineEdit(pParent);
    pEdit->setFrame(!(control.nStyle & CS_NO_BORDER));
    pEdit->setReadOnly(control.nStyle & CS_READONLY);
    pEdit->setTextMargins(0, 0, 0, 0);
    return pEdit;
}

QWidget* MakeStatic(const CControlTemplate& control, QWidget* pParent) {
    auto* pLabel = new QLabel(QString::fromUtf8(control.pszCaption), pParent);
    pLabel->setTextFormat(Qt::PlainText);
    pLabel->setWordWrap(!(control.nStyle & CS_RIGHT));
    pLabel->setAlignment(Qt::AlignTop |
                         (control.nStyle & CS_RIGHT ? Qt::AlignRight : Qt::AlignLeft));
    pLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
    return pLabel;
}

// A group box as the dialogs were drawn: an etched frame with the title set into its top line.
class CGroupBox : public QGroupBox {
public:
    CGroupBox(const QString& strTitle, QWidget* pParent) : QGroupBox(strTitle, pParent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QFontMetrics metrics(font());
        const QRect rcFrame = rect().adjusted(0, metrics.height() / 2, -2, -2);
        painter.setPen(palette().color(QPalette::Light));
        painter.drawRect(rcFrame.translated(1, 1));
        painter.setPen(palette().color(QPalette::Mid));
        painter.drawRect(rcFrame);
        const QRect rcTitle(metrics.averageCharWidth(), 0, metrics.horizontalAdvance(title()) + 4,
                            metrics.height());
        painter.fillRect(rcTitle, palette().window());
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(rcTitle, Qt::AlignCenter, title());
    }
};

QWidget* MakeIcon(QWidget* pParent) {
    auto* pLabel = new QLabel(pParent);
    pLabel->setPixmap(LoadAppIcon(IDR_MAINFRAME).pixmap(32, 32));
    pLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return pLabel;
}
}  // namespace

CDialog::CDialog(int nTemplateId, QWidget* pParent)
    : QDialog(pParent), m_nTemplateId(nTemplateId) {}

// Windows' rule: the average width of the 52 letters, rounded, and the font's height.
QSize CDialog::BaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int nLetters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return QSize((nLetters / 26 + 1) / 2, metrics.height());
}

QRect CDialog::MapDialogRect(const QRect& rcUnits) const {
    const int cx = m_baseUnits.width(), cy = m_baseUnits.height();
    return QRect(MulDiv(rcUnits.x(), cx, 4), MulDiv(rcUnits.y(), cy, 8),
                 MulDiv(rcUnits.width(), cx, 4), MulDiv(rcUnits.height(), cy, 8));
}

bool CDialog::Create() {
    if (m_bCreated) return true;
    m_bCreated = true;
    if (const CDialogTemplate* pTemplate = FindDialogTemplate(m_nTemplateId)) Build(*pTemplate);
    DoDataExchange();
    return OnInitDialog();
}

int CDialog::DoModal() {
    Create();
    m_bEnded = false;
    return exec();
}

int CDialog::RunModalLoop() {
    Create();
    m_bEnded = false;
    QEventLoop loop;
    connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
    show();
    if (!m_bEnded) loop.exec();
    return result();
}

void CDialog::EndDialog(int nResult) {
    m_bEnded = true;
    done(nResult);
}

QWidget* CDialog::GetDlgItem(int nId) const {
    return findChild<QWidget*>(QString::number(nId), Qt::FindDirectChildrenOnly);
}

int CDialog::MessageBox(const std::string& strText, const std::string& strCaption, int nButtons,
                        int nIcon) {
    return MessageBoxService().ShowOwned(this, strText, strCaption, nButtons, nIcon);
}

void CDialog::OnClicked(int nId, const std::function<void()>& handler) {
    if (auto* pButton = DlgItem<QAbstractButton>(nId))
        connect(pButton, &QAbstractButton::clicked, this, [handler] { handler(); });
}

void CDialog::Build(const CDialogTemplate& dialog) {
    setWindowTitle(QString::fromUtf8(dialog.pszCaption));
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (dialog.bMinimizeBox) flags |= Qt::WindowMinimizeButtonHint;
    setWindowFlags(flags);
    QFont font(QString::fromUtf8(dialog.pszFont), dialog.nPointSize);
    font.setStyleHint(QFont::SansSerif);
    setFont(font);
    m_baseUnits = BaseUnits(font);
    const QSize client = MapDialogRect(QRect(0, 0, dialog.cx, dialog.cy)).size();
    int nMenuHeight = 0;
    if (dialog.nMenu != 0) {
        QMenuBar* pBar = CreateMenuBar(dialog.nMenu, this, [this](int nId) { OnCommand(nId); });
        nMenuHeight = pBar->sizeHint().height();
        pBar->setGeometry(0, 0, client.width(), nMenuHeight);
    }
    setFixedSize(client.width(), client.height() + nMenuHeight);
    // Created in template order, so the focus chain is the tab order.
    for (const CControlTemplate& control : dialog.controls) {
        QWidget* pControl = CreateControl(control);
        if (control.nId != IDC_STATIC) pControl->setObjectName(QString::number(control.nId));
        pControl->setGeometry(MapDialogRect(QRect(control.x, control.y, control.cx, control.cy))
                                  .translated(0, nMenuHeight));
        pControl->setEnabled(!(control.nStyle & CS_DISABLED));
        pControl->setVisible(!(control.nStyle & CS_HIDDEN));
        if (control.nStyle & CS_NO_TABSTOP) pControl->setFocusPolicy(Qt::NoFocus);
        if (control.nId == IDOK) OnClicked(IDOK, [this] { OnOK(); });
        if (control.nId == IDCANCEL) OnClicked(IDCANCEL, [this] { OnCancel(); });
    }
    // Group boxes frame controls created before them: they stay underneath, out of the way.
    for (QGroupBox* pGroup : findChildren<QGroupBox*>(QString(), Qt::FindDirectChildrenOnly))
        pGroup->lower();
}

QWidget* CDialog::CreateControl(const CControlTemplate& control) {
    const QString strCaption = QString::fromUtf8(control.pszCaption);
    switch (control.kind) {
        case CControlKind::Edit:
            return MakeEdit(control, this);
        case CControlKind::CheckBox:
            return new QCheckBox(strCaption, this);
        case CControlKind::PushButton: {
            auto* pButton = new QPushButton(strCaption, this);
            pButton->setDefault(control.nStyle & CS_DEFPUSHBUTTON);
            return pButton;
        }
        case CControlKind::GroupBox:
            return new CGroupBox(strCaption, this);
        case CControlKind::ListView:
            if (control.nStyle & CS_OWNERDRAW) return new CColorListCtrl(this);
            return new CListCtrl(control.nStyle & CS_SORTASCENDING, this);
        case CControlKind::IPAddress:
            return new CIPAddressCtrl(this);
        case CControlKind::Icon:
            return MakeIcon(this);
        case CControlKind::Static:
            break;
    }
    return MakeStatic(control, this);
}
