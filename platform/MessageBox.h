// The message-box service: shows a text with a caption and buttons and returns the answer.
//
// The desktop installs a dialog-based service; without a desktop the headless service writes
// the caption and text to standard error and answers with the default button. Show blocks the
// calling thread until the box is answered and may be called from either thread. Notify shows
// an OK box without waiting for it: what a thread that must never wait for a person (the
// listener) reports.
#pragma once

#include <functional>
#include <string>

enum MessageBoxButtons { MB_OK = 0x0, MB_OKCANCEL = 0x1, MB_YESNO = 0x4 };
enum MessageBoxIcon {
    MB_ICONNONE = 0x0,
    MB_ICONERROR = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONEXCLAMATION = 0x30,
    MB_ICONINFORMATION = 0x40
};
// Added to the icon: the box comes to the front of the desktop when it opens.
constexpr int MB_SETFOREGROUND = 0x10000;
enum MessageBoxAnswer { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

// A desktop window that owns a box, opaque to everything but the desktop front end.
using WindowHandle = void*;

class IMessageBoxService {
public:
    virtual ~IMessageBoxService() = default;
    virtual int Show(const std::string& strText, const std::string& strCaption, int nButtons,
                     int nIcon) = 0;
    // The same box owned by hOwner (shown over it); a service without windows ignores the owner.
    virtual int ShowOwned(WindowHandle /*hOwner*/, const std::string& strText,
                          const std::string& strCaption, int nButtons, int nIcon) {
        return Show(strText, strCaption, nButtons, nIcon);
    }
    // An OK box shown while the caller goes on; onDismissed (may be empty) runs once the box has
    // been answered, on the UI thread (here: at once, after a Show, on the caller's thread). A
    // service whose boxes stay open opens no second box with the same caption and text while
    // one is open; the open box's answer then stands for both.
    virtual void Notify(const std::string& strText, const std::string& strCaption,
                        std::function<void()> onDismissed) {
        Show(strText, strCaption, MB_OK, MB_ICONNONE);
        if (onDismissed) onDismissed();
    }
};

// Writes "caption: text" to standard error, one box at a time, and returns the default button.
// Where standard error is the journal's stream, each line carries the error priority "<3>"
// (platform/JournalStream.h).
// A Notify's line is written without waiting for the reader (CConsoleOutput).
class CHeadlessMessageBox : public IMessageBoxService {
public:
    int Show(const std::string& strText, const std::string& strCaption, int nButtons,
             int nIcon) override;
    void Notify(const std::string& strText, const std::string& strCaption,
                std::function<void()> onDismissed) override;
};

// The process-wide service; the headless one until a front end installs its own.
IMessageBoxService& MessageBoxService();
void SetMessageBoxService(IMessageBoxService* pService);

// Shorthand for MessageBoxService().Show.
int AfxMessageBox(const std::string& strText, const std::string& strCaption, int nButtons = MB_OK,
                  int nIcon = MB_ICONNONE);
