#include "tests/support/GatewayHarness.h"

#include <arpa/inet.h>

#include <future>

#include "gateway/ListenThread.h"
#include "tests/support/Process.h"

int CRecordingMessageBox::ShowOwned(WindowHandle hOwner, const std::string& strText,
                                    const std::string& strCaption, int nButtons, int nIcon) {
    std::lock_guard<std::mutex> guard(m_lock);
    const CGatewayApp* pApp = m_pApp;
    m_boxes.push_back(CBox{strText, strCaption, pApp ? pApp->m_bGatewayDown : 0,
                           pApp ? pApp->m_bStopRequested : 0, nButtons, nIcon, hOwner});
    if (m_answers.empty()) return nButtons == MB_YESNO ? IDYES : IDOK;
    const int nAnswer = m_answers.front();
    m_answers.pop_front();
    return nAnswer;
}

void CRecordingMessageBox::Answer(std::initializer_list<int> answers) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_answers.insert(m_answers.end(), answers);
}

std::vector<CRecordingMessageBox::CBox> CRecordingMessageBox::Boxes() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_boxes;
}

void CRecordingMessageBox::Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_boxes.clear();
}

std::string CRecordingMainWindow::GetLogText() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_strLog;
}

void CRecordingMainWindow::AppendLogText(const std::string& strText, size_t nMaxText) {
    std::lock_guard<std::mutex> guard(m_lock);
    AppendToPane(m_strLog, strText, nMaxText);
}

CGatewayHarness::CGatewayHarness() {
    m_boxes.m_pApp = &m_app;
    SetMessageBoxService(&m_boxes);
    m_app.m_pMainWnd = &m_window;
    m_app.m_settings.EnableLogging = 1;
    m_app.m_settings.LogFileName = m_dir.File("activity.log");
    m_nPortIn = FreeTcpPort();
    m_app.m_settings.PortIn = m_nPortIn;
    m_app.m_settings.MailServer = "127.0.0.1";
    Publish(true);
}

CGatewayHarness::~CGatewayHarness() {
    m_app.StopListenThread();
    m_app.m_pMainWnd = nullptr;
    SetMessageBoxService(nullptr);
}

// The thread makes its listening socket before its loop serves posted items, so a posted
// check sees the outcome. (A probe connection would be counted as a client.) Other programs on
// this machine may take the free port first: then another port is tried.
bool CGatewayHarness::Start(int nMailPort) {
    m_app.m_settings.PortOut = nMailPort;
    for (int nAttempt = 0; nAttempt < 5; ++nAttempt) {
        Publish();  // as loaded already: its problems were reported then
        const int nFailure = m_app.m_gateway.StartListenThread();
        if (nFailure == 0) return m_app.m_gateway.HasListenThread();
        if (nFailure != EADDRINUSE) return false;
        m_app.StopListenThread();
        m_nPortIn = FreeTcpPort();
        m_app.m_settings.PortIn = m_nPortIn;
    }
    return false;
}

void CGatewayHarness::Publish(bool bNewLoad) { m_app.PublishSettings(bNewLoad); }

void CGatewayHarness::OnListener(const std::function<void()>& fn) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    if (!m_app.m_gateway.PostToListener([&] {
            fn();
            done.set_value();
        }))
        return;
    finished.wait();
}

std::vector<CConnectionSnapshot> CGatewayHarness::Snapshot() {
    std::vector<CConnectionSnapshot> snapshot;
    OnListener([&] {
        if (CListenThread* pThread = m_app.m_gateway.ListenThread()) snapshot = pThread->Snapshot();
    });
    return snapshot;
}

std::vector<std::string> CGatewayHarness::Connections() {
    std::vector<std::string> connections;
    for (const CConnectionSnapshot& connection : Snapshot())
        connections.push_back(connection.strAddress + " " + connection.strKind);
    return connections;
}

size_t CGatewayHarness::LargestQueue() {
    size_t nLargest = 0;
    for (const CConnectionSnapshot& connection : Snapshot())
        nLargest = std::max({nLargest, connection.nClientQueued, connection.nChannelQueued});
    return nLargest;
}

std::string CGatewayHarness::ActivityLog() const {
    return ReadFileBytes(m_dir.File("activity.log"));
}

std::vector<std::string> CGatewayHarness::Reports() {
    std::vector<std::string> texts;
    for (const auto& box : m_boxes.Boxes()) texts.push_back(box.strText);
    return texts;
}
