// The stalled-scheduler watchdog, driven by an injected clock, and its hook in the main loop.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <thread>

#include "platform/dispatch/MainLoop.h"
#include "daemon/launch/ZemCoreLaunchService.h"
#include "common/logger/RotatingLogger.h"
#include "daemon/scheduler/CommonTimerManager.h"
#include "daemon/store/ZemConfigManager.h"
#include "tests/support/TempRoot.h"

using common::LogCoreHelper;
using hollin::CommonTimerManager;
using hollin::ZemConfigManager;
using hollin::ZemCoreLaunchService;

using namespace std::chrono_literals;

namespace {

// A scheduler on an injected clock whose state files lie in a temporary root.
class WatchdogFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        config_ = std::make_unique<ZemConfigManager>(root_.file("config.archive"));
    }
    void TearDown() override {
        // The shared logger may still be writing into the temporary root.
        LogCoreHelper::sharedInstance().flush();
    }
    CommonTimerManager::Environment env(const dispatch::Clock& clock) {
        CommonTimerManager::Environment e;
        e.clock = &clock;
        e.config = config_.get();
        e.registerNotifications = false;
        return e;
    }
    testsupport::TempRoot root_{"rav-watchdog"};
    std::unique_ptr<ZemConfigManager> config_;
};

TEST_F(WatchdogFixture, RestartsTheTickOnlyAfterMoreThan600Seconds) {
    dispatch::ManualClock clock(1'000'000.0);
    CommonTimerManager scheduler(env(clock));
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
    EXPECT_DOUBLE_EQ(scheduler.lastRunloopTime(), clock.uptime());
}

TEST_F(WatchdogFixture, SettingTheWallClockNeitherFakesNorHidesAStall) {
    dispatch::ManualClock clock(1'000'000.0);
    CommonTimerManager scheduler(env(clock));
    scheduler.createCommonTimer();
    struct Step {
        const char* what;
        std::function<void()> move;
        int generation;
    } steps[] = {
        {"wall clock a day ahead", [&] { clock.set(clock.now() + 86400); }, 1},
        {"wall clock a day back, then 601 s pass",
         [&] {
             clock.set(clock.now() - 2 * 86400);
             clock.advance(601);
         },
         2},
    };
    for (const auto& s : steps) {
        s.move();
        scheduler.checkRunloopTimerIsRunning();
        EXPECT_EQ(scheduler.timerGeneration(), s.generation) << s.what;
    }
}

TEST_F(WatchdogFixture, AFailedRestartIsSwallowedAndTheNextCheckRestarts) {
    dispatch::ManualClock clock(1'000'000.0);
    auto e = env(clock);
    std::atomic<int> restarts{0};
    e.beforeTimerRestart = [&] {
        if (restarts++ == 0) throw std::runtime_error("no thread to be had");
    };
    CommonTimerManager scheduler(e);
    scheduler.createCommonTimer();
    clock.advance(601);
    EXPECT_NO_THROW(scheduler.checkRunloopTimerIsRunning());
    EXPECT_FALSE(scheduler.hasLiveTimer());
    clock.advance(601);
    scheduler.checkRunloopTimerIsRunning();
    EXPECT_TRUE(scheduler.hasLiveTimer());
    EXPECT_EQ(scheduler.timerGeneration(), 2);
}

TEST_F(WatchdogFixture, ChecksRacingFromTwoThreadsLeaveOneLiveTimer) {
    dispatch::ManualClock clock(1'000'000.0);
    CommonTimerManager scheduler(env(clock));
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

TEST_F(WatchdogFixture, MainLoopRunsTheCheckBeforeWaiting) {
    dispatch::ManualClock clock(1'000'000.0);
    CommonTimerManager scheduler(env(clock));
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
    EXPECT_DOUBLE_EQ(scheduler.lastRunloopTime(), clock.uptime());
}

}  // namespace
