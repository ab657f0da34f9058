// The stalled-scheduler watchdog, driven by an injected clock, and its hook in the main loop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "dispatch/MainLoop.h"
#include "launch/ZemCoreLaunchService.h"
#include "scheduler/CommonTimerManager.h"

using namespace std::chrono_literals;

namespace {

TEST(RunloopWatchdog, RestartsTheTickOnlyAfterMoreThan600Seconds) {
    dispatch::ManualClock clock(1'000'000.0);
    CommonTimerManager scheduler(clock);
    scheduler.createCommonTimer();
    ASSERT_EQ(scheduler.timerGeneration(), 1);

    struct Step {
        double advance;
        int generation;
    } steps[] = {{599.0, 1}, {1.0, 1}, {0.5, 2}, {600.0, 2}, {0.001, 3}};
    for (const auto& s : steps) {
        clock.advance(s.advance);
        scheduler.checkRunloopTimerIsRunning();
        EXPECT_EQ(scheduler.timerGeneration(), s.generation) << "at +" << clock.now() - 1'000'000.0;
        EXPECT_TRUE(scheduler.hasLiveTimer());
    }
    EXPECT_DOUBLE_EQ(scheduler.lastRunloopTime(), clock.now());
}

TEST(RunloopWatchdog, ChecksRacingFromTwoThreadsLeaveOneLiveTimer) {
    dispatch::ManualClock clock(1'000'000.0);
    CommonTimerManager scheduler(clock);
    scheduler.createCommonTimer();
    for (int round = 0; round < 50; ++round) {
        clock.advance(601);
        std::thread a([&] { scheduler.checkRunloopTimerIsRunning(); });
        std::thread b([&] { scheduler.checkRunloopTimerIsRunning(); });
        a.join();
        b.join();
        EXPECT_TRUE(scheduler.hasLiveTimer());
    }
    EXPECT_GE(scheduler.timerGeneration(), 51);
}

TEST(RunloopWatchdog, MainLoopRunsTheCheckBeforeWaiting) {
    dispatch::ManualClock clock(1'000'000.0);
    CommonTimerManager scheduler(clock);
    ZemCoreLaunchService service(&scheduler);
    service.createRunloopObserver();
    auto& loop = dispatch::MainLoop::shared();

    std::atomic<int> generationAfterStall{-1};
    dispatch::WorkQueue::main()->dispatch([&] {
        clock.advance(601);  // the loop checks before it waits next
        dispatch::WorkQueue::main()->dispatchAfter(50ms, [&] {
            generationAfterStall = scheduler.timerGeneration();
            loop.stop();
        });
    });
    std::thread guard([&] {
        std::this_thread::sleep_for(10s);
        loop.stop();
    });
    loop.run();
    guard.detach();
    EXPECT_EQ(generationAfterStall.load(), 1);
    EXPECT_DOUBLE_EQ(scheduler.lastRunloopTime(), clock.now());
}

}  // namespace
