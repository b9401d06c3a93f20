#include <gtest/gtest.h>

#include "platform/EventLoop.h"

TEST(EventLoop, PumpDispatchesAtMostTwentyAndStopsAfterQuit) {
    CEventLoop loop;
    int nRun = 0;
    for (int i = 0; i < 30; ++i) loop.Post([&] { ++nRun; });
    EXPECT_EQ(loop.Pump(CEventLoop::kPumpLimit), 20);
    EXPECT_EQ(nRun, 20);
    EXPECT_EQ(loop.Pump(CEventLoop::kPumpLimit), 10);
    EXPECT_EQ(loop.Pump(CEventLoop::kPumpLimit), 0);
}
