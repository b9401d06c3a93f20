#include "platform/MainWindow.h"

size_t AppendToPane(std::string& strPane, const std::string& strText, size_t nMaxText,
                    size_t* pLinesCut) {
    strPane += strText;
    size_t nCut = 0, nLines = 0;
    while (strPane.size() - nCut > nMaxText) {
        const size_t nFeed = strPane.find('\n', nCut);
        if (nFeed == std::string::npos) break;
        nCut = nFeed + 1;
        ++nLines;
    }
    strPane.erase(0, nCut);
    if (pLinesCut != nullptr) *pLinesCut = nLines;
    return nCut;
}

// While the cut stays within what was shown, the window can follow by cutting lines off its
// front and adding the new text at its end; once it reaches text never shown, the whole text
// is shown anew (and the added text need not be kept).
void CLogPane::Append(const std::string& strText, size_t nMaxText) {
    std::lock_guard<std::mutex> guard(m_lock);
    size_t nLines = 0;
    const size_t nCut = AppendToPane(m_strText, strText, nMaxText, &nLines);
    if (nMaxText != IMainWindow::kKeepAll) m_bScroll = true;
    if (m_bReplace) return;
    m_nCutBytes += nCut;
    m_nLinesCut += nLines;
    if (m_nCutBytes <= m_nShownBytes) {
        m_strAdded += strText;
        return;
    }
    m_bReplace = true;
    m_strAdded.clear();
}

std::string CLogPane::Text() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_strText;
}

CLogPane::CChanges CLogPane::TakeChanges(bool bWhole) {
    std::lock_guard<std::mutex> guard(m_lock);
    CChanges changes;
    changes.bReplace = m_bReplace || bWhole;
    changes.strText = changes.bReplace ? m_strText : std::move(m_strAdded);
    changes.nLinesCut = changes.bReplace ? 0 : m_nLinesCut;
    changes.bScroll = m_bScroll;
    m_nShownBytes = m_strText.size();
    m_strAdded.clear();
    m_nCutBytes = m_nLinesCut = 0;
    m_bReplace = m_bScroll = false;
    return changes;
}
