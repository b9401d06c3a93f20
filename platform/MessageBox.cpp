#include "platform/MessageBox.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace {
std::atomic<IMessageBoxService*> g_pService{nullptr};

int DefaultAnswer(int nButtons) { return nButtons == MB_YESNO ? IDYES : IDOK; }
}  // namespace

int CHeadlessMessageBox::Show(const std::string& strText, const std::string& strCaption,
                              int nButtons, int /*nIcon*/) {
    static std::mutex s_lock;
    std::lock_guard<std::mutex> guard(s_lock);
    std::fprintf(stderr, "%s: %s\n", strCaption.c_str(), strText.c_str());
    std::fflush(stderr);
    return DefaultAnswer(nButtons);
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
