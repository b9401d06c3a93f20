// CQtMessageBox: the message-box service on the desktop.
//
// A box shows the caption, the text (plain), the buttons (OK; OK and Cancel; Yes and No) with
// the first one as the default, and the icon asked for. Escape answers Cancel on an OK/Cancel
// box and OK on an OK box; a Yes/No box ignores Escape and has no close box, so it must be
// answered. Each button carries the number of its answer as its objectName ("1", "2", "6",
// "7").
//
// A box asked for on the UI thread runs modally over its owner (if any) and returns the
// answer. A box asked for on another thread is shown on the UI thread without blocking it: it
// is not modal, so the UI thread's windows keep working, and it stands over the modal dialog of
// the moment (if any, moving over the next one when that one ends) so that it can always be
// answered. Show from another thread waits for the answer; a box that goes without an answer
// answers the default button, and so does every box once the UI thread's loop has gone.
// Notify (the listener's error reports) does not wait at all: the box is handed to the UI
// thread, and while a notice with the same caption and text is open, no second one opens; when
// the open one is answered, the callbacks of both run. The notices still open when the desktop
// goes are closed without running their callbacks (CloseNotices).
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "platform/MessageBox.h"

class CDesktop;
class QMessageBox;
class QWidget;

class CQtMessageBox : public IMessageBoxService {
public:
    explicit CQtMessageBox(const CDesktop& desktop) : m_desktop(desktop) {}

    int Show(const std::string& strText, const std::string& strCaption, int nButtons,
             int nIcon) override {
        return ShowOwned(nullptr, strText, strCaption, nButtons, nIcon);
    }
    int ShowOwned(WindowHandle hOwner, const std::string& strText, const std::string& strCaption,
                  int nButtons, int nIcon) override;
    void Notify(const std::string& strText, const std::string& strCaption,
                std::function<void()> onDismissed) override;
    // UI thread, as the desktop goes.
    void CloseNotices();

    // The box as it is shown, not yet shown; the caller owns it.
    static QMessageBox* CreateBox(QWidget* pOwner, const std::string& strText,
                                  const std::string& strCaption, int nButtons, int nIcon);
    // The answer (IDOK, IDCANCEL, IDYES, IDNO) for a box's result.
    static int Answer(int nResult);

private:
    int ShowFromOtherThread(const std::string& strText, const std::string& strCaption, int nButtons,
                            int nIcon);
    // UI thread.
    void ShowNotice(const std::string& strText, const std::string& strCaption,
                    std::function<void()> onDismissed);
    void EndNotice(const std::string& strKey, std::uint64_t nNotice);

    // An open notice: its box and the callbacks waiting for its answer.
    struct CNotice {
        std::uint64_t nId;
        QMessageBox* pBox;
        std::vector<std::function<void()>> dismissed;
    };

    const CDesktop& m_desktop;
    std::map<std::string, CNotice> m_notices;  // by caption and text; UI thread
    std::uint64_t m_nNextNotice = 1;
    bool m_bClosingNotices = false;
};
