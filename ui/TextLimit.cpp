#include "ui/TextLimit.h"

#include <QLineEdit>
#include <QRegularExpression>
#include <QValidator>

namespace {
class CByteLimitValidator : public QValidator {
public:
    CByteLimitValidator(int nMaxBytes, QObject* pParent)
        : QValidator(pParent), m_nMaxBytes(nMaxBytes) {}

    // Always acceptable: the text is shortened in place instead of refused.
    State validate(QString& strInput, int& nPos) const override {
        const qsizetype nBreak = strInput.indexOf(QRegularExpression(QStringLiteral("[\r\n]")));
        if (nBreak >= 0) strInput.truncate(nBreak);
        while (strInput.toUtf8().size() > m_nMaxBytes) {
            const bool bPair = strInput.size() >= 2 && strInput.back().isLowSurrogate();
            strInput.chop(bPair ? 2 : 1);
        }
        if (nPos > strInput.size()) nPos = static_cast<int>(strInput.size());
        return Acceptable;
    }

private:
    int m_nMaxBytes;
};
}  // namespace

void LimitTextBytes(QLineEdit* pEdit, int nMaxBytes) {
    pEdit->setValidator(new CByteLimitValidator(nMaxBytes, pEdit));
}
