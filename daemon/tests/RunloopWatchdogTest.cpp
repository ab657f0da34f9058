// The stalled-scheduler watchdog, driven by an injected clock, and its hook in the main loop.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "dispatch/MainLoop.h"
#include "launch/ZemCoreLaunchService.h"
#include "logger/RotatingLogger.h"
#include "scheduler/CommonTimerManager.h"
#include "store/ZemConfigManager.h"

using namespace std::chrono_literals;

namespace {

// A scheduler on an injected clock whose state files lie in a temporary root.
class WatchdogFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/rav-watchdog-XXXXXX";
        root_ = mkdtemp(tmpl);
        setenv("RAVAVIZA_ROOT", root_.c_str(), 1);
        config_ = std::make_unique<ZemConfigManager>(root_ + "/config.archive");
    }
    void TearDown() override {
        unsetenv("RAVAVIZA_ROOT");
        // The shared logger may still be writing into the temporary root.
        LogCoreHelper::sharedInstance().flush();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    CommonTimerManager::Environment env(const dispatch::Clock& clock) {
        CommonTimerManager::Environment e;
        e.clock = &clock;
        e.config = config_.get();
        e.registerNotifications = false;
        return e;
    }
    std::string root_;
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
    EXPECT_DOUBLE_EQ(scheduler.lastRunloopTime(), clock.now());
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
    EXPECT_DOUBLE_EQ(scheduler.lastRunloopTime(), clock.now());
}

}  // namespace
