#include "platform/WinApp.h"

#include "platform/EventLoop.h"
#include "platform/MessagePump.h"

namespace {
std::atomic<CWinApp*> g_pApp{nullptr};
}

CWinApp::CWinApp() { g_pApp.store(this); }

CWinApp::~CWinApp() {
    CWinApp* pSelf = this;
    g_pApp.compare_exchange_strong(pSelf, nullptr);
}

void CWinApp::PumpMessages() {
    if (CMessagePump* pPump = CMessagePump::Current()) pPump->Pump(CEventLoop::kPumpLimit);
}

CWinApp* AfxGetApp() { return g_pApp.load(); }
