#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/GatewayApp.h"
#include "platform/EventLoop.h"

namespace {
class CCountingMainWindow : public IMainWindow {
public:
    void Refresh() override { ++m_nRefreshes; }
    std::string GetLogText() override { return {}; }
    void AppendLogText(const std::string&, size_t) override {}
    int m_nRefreshes = 0;
};
}  // namespace

TEST(GatewayApp, AFreshObjectHasItsDefaultsIsTheOneApplicationAndRefreshesItsWindow) {
    {
        CGatewayApp app;
        EXPECT_EQ(AfxGetApp(), &app);
        EXPECT_EQ(&TheApp(), &app);
        EXPECT_EQ(&LoggingApp(), &app);
        EXPECT_EQ(&GatewayCore(), &app);
        EXPECT_EQ(app.m_pMainWnd.load(), nullptr);

        EXPECT_EQ(app.m_nMailServerStatus, 1);
        for (const std::atomic<std::int32_t>* pField :
             {&app.m_bIsNT, &app.m_bGatewayElsewhere, &app.m_bDebugDump, &app.m_nListenThreads,
              &app.m_bReportShowing, &app.m_bStopRequested, &app.m_bGatewayDown,
              &app.m_bConfigAtStart, &app.m_nConnections, &app.m_nRejected,
              &app.m_bConnectionsSwept})
            EXPECT_EQ(pField->load(), 0);
        EXPECT_EQ(app.m_pListenThread, nullptr);  // and so no connection

        const Settings& settings = app.m_settings;
        EXPECT_EQ(settings.PortIn, 25);
        EXPECT_EQ(settings.PortOut, 25);
        EXPECT_EQ(settings.GetMailServer(), "");
        EXPECT_EQ(settings.GetLogFileName(), "");
        EXPECT_EQ(settings.EnableLogging, 0);

        // RefreshMonitor reaches the main window only when there is one.
        app.RefreshMonitor();
        CCountingMainWindow window;
        app.m_pMainWnd = &window;
        app.RefreshMonitor();
        app.m_pMainWnd = nullptr;
        app.RefreshMonitor();
        EXPECT_EQ(window.m_nRefreshes, 1);
    }
    EXPECT_EQ(AfxGetApp(), nullptr);
}

TEST(GatewayApp, PumpMessagesWorksOnTheCallingThreadsLoop) {
    CGatewayApp app;
    app.PumpMessages();  // a thread without a loop pumps nothing

    CEventLoop loop;
    int nMain = 0;
    for (int i = 0; i < 30; ++i) loop.Post([&] { ++nMain; });
    app.PumpMessages();
    EXPECT_EQ(nMain, 20);

    // Another thread pumps its own loop, never this one's.
    std::atomic<int> nOther{0};
    std::thread other([&] {
        CEventLoop otherLoop;
        for (int i = 0; i < 5; ++i) otherLoop.Post([&] { ++nOther; });
        app.PumpMessages();
    });
    other.join();
    EXPECT_EQ(nOther, 5);
    EXPECT_EQ(nMain, 20);
    app.PumpMessages();
    EXPECT_EQ(nMain, 30);
}
