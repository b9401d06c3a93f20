// The gateway in the test process: one CGatewayApp with its listener thread on a free loopback
// port, a temporary folder holding the activity log, and recording stand-ins for the two
// desktop services the listener calls (message boxes and the monitor window).
// Made and used on the test thread, which plays the UI thread.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/ConnectionList.h"
#include "host/GatewayApp.h"
#include "platform/MainWindow.h"
#include "platform/MessageBox.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

// Keeps every box it is asked to show, with m_pApp's run-state flags as they were then, and
// answers with the answers queued by Answer, in order, then with the first button.
class CRecordingMessageBox : public IMessageBoxService {
public:
    struct CBox {
        std::string strText;
        std::string strCaption;
        int bGatewayDown, bStopRequested;
        int nButtons, nIcon;
        WindowHandle hOwner;
    };
    int Show(const std::string& strText, const std::string& strCaption, int nButtons,
             int nIcon) override {
        return ShowOwned(nullptr, strText, strCaption, nButtons, nIcon);
    }
    int ShowOwned(WindowHandle hOwner, const std::string& strText, const std::string& strCaption,
                  int nButtons, int nIcon) override;
    void Answer(std::initializer_list<int> answers);
    const CGatewayApp* m_pApp = nullptr;
    std::vector<CBox> Boxes();
    void Clear();

private:
    std::mutex m_lock;
    std::vector<CBox> m_boxes;
    std::deque<int> m_answers;
};

class CRecordingMainWindow : public IMainWindow {
public:
    void Refresh() override { ++m_nRefreshes; }
    std::string GetLogText() override;
    void AppendLogText(const std::string& strText, size_t nMaxText) override;
    std::atomic<int> m_nRefreshes{0};

private:
    std::mutex m_lock;
    std::string m_strLog;
};

class CGatewayHarness {
public:
    CGatewayHarness();
    ~CGatewayHarness();

    CGatewayApp m_app;
    CTempDir m_dir;
    CRecordingMessageBox m_boxes;
    CRecordingMainWindow m_window;
    int m_nPortIn = 0;

    // Points the gateway at the mail server 127.0.0.1:nMailPort (0 = no channel at all), starts
    // the listener thread and waits until it has made its listening socket; false when it could
    // not.
    bool Start(int nMailPort = 0);
    // Publishes m_app.m_settings, as a load (bNewLoad) or as the dialog's edit would.
    void Publish(bool bNewLoad = false);
    void Stop() { m_app.StopListenThread(); }

    // Runs fn on the listener thread and waits until it has run.
    void OnListener(const std::function<void()>& fn);
    // The listener's live connections, newest first.
    std::vector<CConnectionSnapshot> Snapshot();
    // The live connections' peer addresses and kinds, head first ("127.0.0.5 SMTP").
    std::vector<std::string> Connections();
    // The largest send queue of any live socket, client or channel.
    size_t LargestQueue();
    std::string ActivityLog() const;
    // The text of every box shown so far.
    std::vector<std::string> Reports();
};
