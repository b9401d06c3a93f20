#include "ui/IPAddressCtrl.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

namespace {
// One of the four fields: hands "." and blanks, and Backspace at its start, to its control.
class CAddressField : public QLineEdit {
public:
    CAddressField(CIPAddressCtrl* pControl, int nField)
        : QLineEdit(pControl), m_pControl(pControl), m_nField(nField) {}

protected:
    void keyPressEvent(QKeyEvent* pEvent) override {
        const QString strKey = pEvent->text();
        if (strKey == QLatin1String(".") || strKey == QLatin1String(" ")) {
            if (!text().isEmpty() && m_nField < 3) m_pControl->FocusField(m_nField + 1);
            return;
        }
        if (pEvent->key() == Qt::Key_Backspace && cursorPosition() == 0 && !hasSelectedText() &&
            m_nField > 0) {
            m_pControl->FocusField(m_nField - 1);
            return;
        }
        QLineEdit::keyPressEvent(pEvent);
    }

private:
    CIPAddressCtrl* m_pControl;
    int m_nField;
};
}  // namespace

CIPAddressCtrl::CIPAddressCtrl(QWidget* pParent) : QFrame(pParent) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    setFocusPolicy(Qt::StrongFocus);
    auto* pLayout = new QHBoxLayout(this);
    pLayout->setContentsMargins(2, 0, 2, 0);
    pLayout->setSpacing(0);
    auto* pDigits =
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,3}")), this);
    for (int nField = 0; nField < 4; ++nField) {
        if (nField > 0) {
            auto* pDot = new QLabel(QStringLiteral("."), this);
            pDot->setAlignment(Qt::AlignCenter);
            pLayout->addWidget(pDot);
        }
        auto* pField = new CAddressField(this, nField);
        pField->setObjectName(QStringLiteral("field%1").arg(nField));
        pField->setFrame(false);
        pField->setAlignment(Qt::AlignCenter);
        pField->setValidator(pDigits);
        connect(pField, &QLineEdit::textEdited, this, [this, nField] { OnEdited(nField); });
        pLayout->addWidget(pField, 1);
        m_fields[static_cast<size_t>(nField)] = pField;
    }
    setFocusProxy(m_fields[0]);
}

void CIPAddressCtrl::FocusField(int nField) {
    QLineEdit* pField = Field(nField);
    pField->setFocus(Qt::TabFocusReason);
    pField->selectAll();
}

void CIPAddressCtrl::OnEdited(int nField) {
    QLineEdit* pField = Field(nField);
    if (pField->text().toInt() > 255) pField->setText(QStringLiteral("255"));
    if (pField->text().size() == 3 && nField < 3) FocusField(nField + 1);
}

QString CIPAddressCtrl::GetWindowText() const {
    bool bBlank = true;
    for (QLineEdit* pField : m_fields) bBlank = bBlank && pField->text().isEmpty();
    if (bBlank) return QString();
    QStringList parts;
    for (QLineEdit* pField : m_fields) parts << QString::number(pField->text().toInt());
    return parts.join(QLatin1Char('.'));
}
