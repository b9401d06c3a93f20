#include <gtest/gtest.h>

#include <thread>

#include "host/GatewayApp.h"

namespace {
class CCountingMainWindow : public IMainWindow {
public:
    void Refresh() override { ++m_nRefreshes; }
    std::string GetLogText() override { return {}; }
    void AppendLogText(const std::string&, size_t) override {}
    int m_nRefreshes = 0;
};
}  // namespace

TEST(GatewayApp, AFreshObjectHasItsDefaultsAndRefreshesItsWindow) {
    CGatewayApp app;
    EXPECT_EQ(app.m_pMainWnd.load(), nullptr);
    EXPECT_EQ(app.m_gateway.m_counters.m_nMailServerStatus, 1);
    EXPECT_EQ(app.m_gateway.m_counters.m_nConnections, 0);
    EXPECT_EQ(app.m_gateway.m_counters.m_nRejected, 0);
    for (std::int32_t nField : {app.m_log.m_bIsNT, app.m_bGatewayElsewhere, app.m_bStopRequested,
                                app.m_bGatewayDown, app.m_bConfigAtStart})
        EXPECT_EQ(nField, 0);
    EXPECT_FALSE(app.m_gateway.m_bDebugDump);
    EXPECT_EQ(app.m_gateway.ListenThread(), nullptr);  // and so no connection

    const Settings& settings = app.m_settings;
    EXPECT_EQ(settings.PortIn, 25);
    EXPECT_EQ(settings.PortOut, 25);
    EXPECT_EQ(settings.MailServer, "");
    EXPECT_EQ(settings.LogFileName, "");
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

// A UI-only operation called on another thread is a fault of the program: it aborts, naming
// the operation, whatever the build.
TEST(GatewayAppDeathTest, AUiOnlyOperationOffTheUiThreadAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CGatewayApp app;
    app.AssertUiThread("CGatewayApp::Configure");  // on its own thread: nothing happens
    EXPECT_DEATH(std::thread([&] { app.AssertUiThread("CGatewayApp::Configure"); }).join(),
                 "CGatewayApp::Configure called on a thread that does not own it");
}
