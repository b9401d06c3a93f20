#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/LoopDeadline.h"

namespace {
// Both ends of a pipe, closed when the test is done.
struct CPipe {
    int fds[2] = {-1, -1};
    CPipe() { EXPECT_EQ(pipe(fds), 0); }
    ~CPipe() { CloseRead(), CloseWrite(); }
    int Read() const { return fds[0]; }
    void Fill() const { ASSERT_EQ(write(fds[1], "x", 1), 1); }
    void CloseRead() { Close(fds[0]); }
    void CloseWrite() { Close(fds[1]); }
    static void Close(int& fd) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
};

int Pump(CEventLoop& loop) { return loop.Pump(CEventLoop::kPumpLimit); }

// Waits up to 30 s for bCondition() to hold.
template <typename Condition>
void WaitUntil(Condition bCondition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!bCondition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
}  // namespace

TEST(EventLoop, PumpDispatchesAtMostTwentyAndStopsAfterQuitOrClose) {
    CEventLoop loop;
    EXPECT_EQ(Pump(loop), 0) << "an empty queue returns at once";

    int nRun = 0;
    for (int i = 0; i < 30; ++i) loop.Post([&] { ++nRun; });
    EXPECT_EQ(Pump(loop), 20);
    EXPECT_EQ(nRun, 20);
    EXPECT_EQ(Pump(loop), 10);
    EXPECT_EQ(Pump(loop), 0);

    // The quit and the close item are dispatched (counted) and end the pass right after them.
    for (ItemKind kind : {ItemKind::Quit, ItemKind::Close}) {
        nRun = 0;
        bool bEndItemRan = false;
        for (int i = 0; i < 3; ++i) loop.Post([&] { ++nRun; });
        loop.Post([&] { bEndItemRan = true; }, kind);
        for (int i = 0; i < 3; ++i) loop.Post([&] { ++nRun; });
        EXPECT_EQ(Pump(loop), 4);
        EXPECT_TRUE(bEndItemRan);
        EXPECT_EQ(nRun, 3);
        // Pumping goes on working after the pass, also after a quit.
        EXPECT_EQ(Pump(loop), 3);
        EXPECT_EQ(nRun, 6);
    }
}

TEST(EventLoop, QuitTakenByNestedPumpStillEndsRunAndIsUsedUpThere) {
    CEventLoop loop;
    bool bAfterQuit = false;
    loop.Post([&] {
        loop.PostQuit();
        loop.Post([&] { bAfterQuit = true; });
        // A handler's wait pumps: the quit is taken here, inside the handler.
        EXPECT_EQ(Pump(loop), 1);
        EXPECT_TRUE(loop.IsQuitting());
    });
    loop.Run();
    EXPECT_FALSE(bAfterQuit) << "Run must end on the quit, not dispatch past it";
    EXPECT_FALSE(loop.IsQuitting()) << "the quit is used up by the Run it ended";

    // A quit taken before Run starts is not lost: Run returns at once, and then a new Run works.
    loop.PostQuit();
    EXPECT_EQ(Pump(loop), 2);  // the task left behind, then the quit
    EXPECT_TRUE(bAfterQuit);
    loop.Run();
    EXPECT_FALSE(loop.IsQuitting());
    int nRun = 0;
    loop.Post([&] { ++nRun; });
    loop.PostQuit();
    loop.Run();
    EXPECT_EQ(nRun, 1);

    // A nested Run (a modal wait inside a handler) ends together with the outer one.
    loop.Post([&] {
        loop.PostQuit();
        loop.Post([&] { ++nRun; });
        loop.Run();
    });
    loop.Run();
    EXPECT_EQ(nRun, 1);
    EXPECT_FALSE(loop.IsQuitting());
}

TEST(EventLoop, WatchesAreLevelTriggeredAndSeeChangesMadeInTheSameBatch) {
    CEventLoop loop;
    CPipe first, second;
    first.Fill();
    second.Fill();

    // Unconsumed readiness is reported again on every pass.
    std::vector<std::uint32_t> seen;
    const auto id = loop.Watch(first.Read(), EPOLLIN, [&](std::uint32_t n) { seen.push_back(n); });
    ASSERT_NE(id, 0u);
    for (size_t i = 1; i <= 3; ++i) {
        EXPECT_EQ(Pump(loop), 1);
        ASSERT_EQ(seen.size(), i);
        EXPECT_TRUE(seen.back() & EPOLLIN);
    }
    // Parked with mask 0, not even a hang-up is reported (it would otherwise be reported on
    // every pass and the loop would never sleep or idle); a new mask brings it back.
    first.CloseWrite();
    ASSERT_TRUE(loop.Rewatch(id, 0));
    EXPECT_EQ(Pump(loop), 0);
    ASSERT_TRUE(loop.Rewatch(id, EPOLLIN));
    EXPECT_EQ(Pump(loop), 1);
    EXPECT_TRUE(seen.back() & EPOLLHUP);
    loop.Unwatch(id);
    EXPECT_EQ(Pump(loop), 0);
    EXPECT_FALSE(loop.Rewatch(id, EPOLLIN)) << "an unwatched id stays unknown";

    // Two descriptors ready in one batch; whichever handler runs first unwatches and closes the
    // other (first round), or parks both (second round, on hung-up pipes): the other's event
    // must then be skipped.
    CPipe third, fourth;
    third.CloseWrite();
    fourth.CloseWrite();
    CPipe* rounds[2][2] = {{&first, &second}, {&third, &fourth}};
    for (int nRound = 0; nRound < 2; ++nRound) {
        int nCalls = 0;
        CEventLoop::WatchId ids[2] = {0, 0};
        for (int i = 0; i < 2; ++i) {
            ids[i] = loop.Watch(rounds[nRound][i]->Read(), EPOLLIN, [&, i](std::uint32_t) {
                ++nCalls;
                if (nRound == 0) {
                    loop.Unwatch(ids[1 - i]);
                    rounds[0][1 - i]->CloseRead();
                } else {
                    loop.Rewatch(ids[i], 0);
                    loop.Rewatch(ids[1 - i], 0);
                }
            });
        }
        EXPECT_EQ(Pump(loop), 1);
        EXPECT_EQ(nCalls, 1);
        loop.Unwatch(ids[0]);
        loop.Unwatch(ids[1]);
    }
}

TEST(EventLoop, ADescriptorClosedWhileWatchedDoesNotHauntItsSuccessor) {
    CEventLoop loop;
    int nOld = 0, nNew = 0, fdOld = -1;
    CEventLoop::WatchId idOld = 0;
    {
        CPipe old;  // closed without Unwatch
        fdOld = old.Read();
        idOld = loop.Watch(fdOld, EPOLLIN, [&](std::uint32_t) { ++nOld; });
    }

    CPipe successor;  // takes the lowest free numbers, so the same read descriptor
    ASSERT_EQ(successor.Read(), fdOld);
    successor.Fill();
    ASSERT_NE(loop.Watch(successor.Read(), EPOLLIN, [&](std::uint32_t) { ++nNew; }), 0u);
    loop.Unwatch(idOld);  // late clean-up of the old watch must leave the new one alone
    EXPECT_FALSE(loop.Rewatch(idOld, 0));
    EXPECT_EQ(Pump(loop), 1);
    EXPECT_EQ(nOld, 0);
    EXPECT_EQ(nNew, 1);
}

TEST(EventLoop, IdleHookRunsWheneverNothingIsPending) {
    CEventLoop loop;
    int nTasks = 0;
    std::vector<int> tasksSeenByIdle;
    for (int i = 0; i < 5; ++i) loop.Post([&] { ++nTasks; });
    loop.SetIdleHandler([&] {
        tasksSeenByIdle.push_back(nTasks);
        if (tasksSeenByIdle.size() == 1)
            loop.Post([&] { ++nTasks; });
        else
            loop.PostQuit();
    });
    loop.Run();
    EXPECT_EQ(tasksSeenByIdle, (std::vector<int>{5, 6}));
}

TEST(EventLoop, PostFromAnotherThreadWakesABlockedLoop) {
    std::promise<CLoopPoster> posterReady;
    std::atomic<int> nIdle{0};
    std::atomic<int> nTasks{0};
    std::thread loopThread([&] {
        CEventLoop loop;
        loop.SetIdleHandler([&] { ++nIdle; });
        posterReady.set_value(loop.Poster());
        loop.Run();
    });
    CLoopPoster poster = posterReady.get_future().get();

    // Wait until the loop has gone idle (and so sleeps in epoll), then wake it from here.
    WaitUntil([&] { return nIdle > 0; });
    ASSERT_GT(nIdle.load(), 0);
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t)
        posters.emplace_back([&] {
            for (int i = 0; i < 250; ++i) EXPECT_TRUE(poster.Post([&] { ++nTasks; }));
        });
    for (auto& thread : posters) thread.join();
    EXPECT_TRUE(poster.PostQuit());
    loopThread.join();
    EXPECT_EQ(nTasks.load(), 1000);

    // The loop is gone: the poster stays safe and refuses.
    EXPECT_FALSE(poster.Post([&] { ++nTasks; }));
    EXPECT_FALSE(poster.PostQuit());
    EXPECT_FALSE(CLoopPoster().Post([] {}));
    EXPECT_EQ(nTasks.load(), 1000);
}

TEST(EventLoop, DestroyingALoopDropsItsItemsEvenWhenTheirCapturesPostAgain) {
    // Something captured by a dropped task posts to the same loop while the loop goes.
    struct CPostsOnDestruction {
        CLoopPoster poster;
        ~CPostsOnDestruction() {
            poster.Post([] {});
        }
    };
    std::atomic<bool> bStop{false};
    std::atomic<int> nRefused{0};
    CLoopPoster poster;
    std::thread racer;
    {
        CEventLoop loop;
        poster = loop.Poster();
        auto pCapture = std::make_shared<CPostsOnDestruction>();
        pCapture->poster = poster;
        loop.Post([pCapture] {});
        pCapture.reset();
        // Another thread keeps posting while the loop is destroyed.
        racer = std::thread([&] {
            while (!bStop)
                if (!poster.Post([] {})) ++nRefused;
        });
    }
    WaitUntil([&] { return nRefused > 0; });
    bStop = true;
    racer.join();
    EXPECT_GT(nRefused.load(), 0);
    EXPECT_EQ(CEventLoop::ForThisThread(), nullptr);
}

// Deadlines fall due in order, a re-armed one moves to the back, a cancelled one never fires,
// and a Run with nothing else to do wakes for them; only its outermost passes end with the
// pass-end hook, never a nested pump.
TEST(EventLoop, DeadlinesEndTheWaitAndPassesEndOnlyOutermost) {
    CEventLoop loop;
    std::vector<int> fired;
    CLoopDeadline first, second, cancelled;
    ASSERT_TRUE(first.Arm(20, [&] { fired.push_back(1); }));
    ASSERT_TRUE(second.Arm(20, [&] { fired.push_back(2); }));
    ASSERT_TRUE(cancelled.Arm(10, [&] { fired.push_back(3); }));
    first.Rearm();  // now due after the second
    cancelled.Cancel();
    int nPassEnds = 0, nNestedPassEnds = -1;
    loop.SetPassEndHandler([&] { ++nPassEnds; });
    CLoopDeadline quit;
    quit.Arm(40, [&] {
        const int nBefore = nPassEnds;
        loop.Post([] {});
        Pump(loop);
        nNestedPassEnds = nPassEnds - nBefore;
        loop.PostQuit();
    });
    loop.Run();
    EXPECT_EQ(fired, (std::vector<int>{2, 1}));
    EXPECT_FALSE(first.IsArmed() || second.IsArmed() || cancelled.IsArmed());
    EXPECT_EQ(nNestedPassEnds, 0);
    EXPECT_GT(nPassEnds, 0);
}

// A loop held up past a bound (a handler that blocks, as a blocking screening does) reads the
// input that came meanwhile before it judges the bound: bytes that were waiting meet it.
TEST(EventLoop, InputWaitingAfterAHoldUpIsReadBeforeDueDeadlinesAreJudged) {
    CEventLoop loop;
    CPipe slow, awaited;
    bool bExpired = false;
    CLoopDeadline bound;
    ASSERT_TRUE(bound.Arm(30, [&] { bExpired = true; }));
    loop.Watch(awaited.Read(), EPOLLIN, [&](std::uint32_t) {
        char c;
        EXPECT_EQ(read(awaited.Read(), &c, 1), 1);
        bound.Cancel();
        loop.PostQuit();
    });
    loop.Watch(slow.Read(), EPOLLIN, [&](std::uint32_t) {
        char c;
        EXPECT_EQ(read(slow.Read(), &c, 1), 1);
        awaited.Fill();  // the bytes arrive in time, while this handler holds the loop up
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    });
    slow.Fill();
    loop.Run();
    EXPECT_FALSE(bExpired);
}

// A loop is used only on its own thread; watching, pumping or running it from another thread is
// a fault of the program, and aborts at once, naming the operation.
TEST(EventLoopDeathTest, OperationsOffTheOwningThreadAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CEventLoop loop;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const auto offThread = [&](const std::function<void()>& fn) { std::thread(fn).join(); };
    EXPECT_DEATH(offThread([&] { loop.Watch(fds[0], EPOLLIN, [](std::uint32_t) {}); }),
                 "CEventLoop::Watch called on a thread that does not own it");
    EXPECT_DEATH(offThread([&] { loop.Pump(1); }), "CEventLoop::Pump called on a thread");
    EXPECT_DEATH(offThread([&] { loop.Run(); }), "CEventLoop::Run called on a thread");
    // Posting is for every thread, and the owner may do everything.
    std::thread([&] { loop.Post([] {}); }).join();
    EXPECT_EQ(loop.Pump(1), 1);
    close(fds[0]);
    close(fds[1]);
}
