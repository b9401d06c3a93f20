#include "ui/Desktop.h"

#include <QApplication>
#include <QSocketNotifier>
#include <atomic>
#include <future>

#include "platform/MessagePump.h"
#include "ui/QtMessageBox.h"

namespace {
std::atomic<CDesktop*> g_pDesktop{nullptr};

// Fulfils its promise when it goes, run or not: a hand-off the loop dropped unrun (the loop
// ended first) still wakes its caller.
class CHandOff {
public:
    ~CHandOff() { m_done.set_value(m_bRan); }
    std::future<bool> Future() { return m_done.get_future(); }
    void Ran() { m_bRan = true; }

private:
    std::promise<bool> m_done;
    bool m_bRan = false;
};
}  // namespace

// The UI thread's pump: the loop's pending items, then Qt's pending events.
class CDesktop::CQtPump : public CMessagePump {
public:
    explicit CQtPump(CEventLoop& loop) : m_loop(loop) {}
    int Pump(int nMaxItems) override {
        const int nCount = m_loop.Pump(nMaxItems);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return nCount;
    }

private:
    CEventLoop& m_loop;
};

CDesktop::CDesktop(int& argc, char** argv)
    : m_uiThread(std::this_thread::get_id()),
      m_pApplication(std::make_unique<QApplication>(argc, argv)),
      m_pLoop(std::make_unique<CEventLoop>()),
      m_poster(m_pLoop->Poster()) {
    m_pNotifier = std::make_unique<QSocketNotifier>(m_pLoop->EpollFd(), QSocketNotifier::Read);
    QObject::connect(m_pNotifier.get(), &QSocketNotifier::activated, m_pNotifier.get(),
                     [this] { m_pLoop->Pump(CEventLoop::kPumpLimit); });
    m_pPump = std::make_unique<CQtPump>(*m_pLoop);
    CMessagePump::SetCurrent(m_pPump.get());
    m_pBoxes = std::make_unique<CQtMessageBox>(*this);
    SetMessageBoxService(m_pBoxes.get());
    g_pDesktop.store(this);
}

CDesktop::~CDesktop() {
    g_pDesktop.store(nullptr);
    if (&MessageBoxService() == m_pBoxes.get()) SetMessageBoxService(nullptr);
    CMessagePump::SetCurrent(m_pLoop.get());
    m_pNotifier.reset();
    m_pLoop.reset();
    m_pApplication.reset();
}

CDesktop* CDesktop::Instance() { return g_pDesktop.load(); }

bool CDesktop::Invoke(const std::function<void()>& fn) const {
    if (IsUiThread()) {
        fn();
        return true;
    }
    auto pHandOff = std::make_shared<CHandOff>();
    std::future<bool> done = pHandOff->Future();
    if (!m_poster.Post([pHandOff, &fn] {
            fn();
            pHandOff->Ran();
        }))
        return false;
    pHandOff.reset();
    return done.get();
}
