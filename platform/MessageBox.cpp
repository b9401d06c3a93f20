#include "platform/MessageBox.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/ConsoleOutput.h"
#include "platform/JournalStream.h"

namespace {
std::atomic<IMessageBoxService*> g_pService{nullptr};

int DefaultAnswer(int nButtons) { return nButtons == MB_YESNO ? IDYES : IDOK; }
}  // namespace

int CHeadlessMessageBox::Show(const std::string& strText, const std::string& strCaption,
                              int nButtons, int /*nIcon*/) {
    static std::mutex s_lock;
    std::lock_guard<std::mutex> guard(s_lock);
    std::fputs(
        JournalLines(STDERR_FILENO, kJournalError, strCaption + ": " + strText + "\n").c_str(),
        stderr);
    std::fflush(stderr);
    return DefaultAnswer(nButtons);
}

void CHeadlessMessageBox::Notify(const std::string& strText, const std::string& strCaption,
                                 std::function<void()> onDismissed) {
    CConsoleOutput::Err().Write(
        JournalLines(STDERR_FILENO, kJournalError, strCaption + ": " + strText + "\n"));
    if (onDismissed) onDismissed();
}

IMessageBoxService& MessageBoxService() {
    static CHeadlessMessageBox s_headless;
    IMessageBoxService* pService = g_pService.load();
    return pService ? *pService : s_headless;
}

void SetMessageBoxService(IMessageBoxService* pService) { g_pService.store(pService); }

int AfxMessageBox(const std::string& strText, const std::string& strCaption, int nButtons,
                  int nIcon) {
    return MessageBoxService().Show(strText, strCaption, nButtons, nIcon);
}
