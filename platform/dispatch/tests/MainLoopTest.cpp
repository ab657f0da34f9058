#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "TestSupport.h"
#include "platform/dispatch/MainLoop.h"

namespace dispatch {
namespace {

using namespace std::chrono_literals;
using test::eventually;
using test::kWait;
using test::LoopThread;

// Records every activity the loop reports, for as long as it lives.
class ActivityLog {
  public:
    ActivityLog() {
        id_ = MainLoop::shared().addObserver(kRunLoopAllActivities, [this](RunLoopActivity a) {
            std::lock_guard lk(m_);
            seen_.push_back(a);
        });
    }
    ~ActivityLog() { MainLoop::shared().removeObserver(id_); }

    std::vector<RunLoopActivity> seen() {
        std::lock_guard lk(m_);
        return seen_;
    }
    int count(RunLoopActivity a) {
        std::lock_guard lk(m_);
        return static_cast<int>(std::count(seen_.begin(), seen_.end(), a));
    }

  private:
    std::mutex m_;
    std::vector<RunLoopActivity> seen_;
    MainLoop::ObserverId id_ = 0;
};

TEST(platform_dispatch_MainLoop, ObserversSeeEachTurnInOrderWithBeforeWaitingBeforeEveryWait) {
    ActivityLog log;
    {
        LoopThread loop;
        for (int i = 0; i < 5; ++i) {
            std::atomic<bool> ran{false};
            WorkQueue::main()->dispatch([&] { ran = true; });
            ASSERT_TRUE(eventually([&] { return ran.load(); }));
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_TRUE(loop.stop());
    }
    auto seen = log.seen();
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(seen.front(), kRunLoopEntry);
    EXPECT_EQ(seen.back(), kRunLoopExit);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), kRunLoopEntry), 1);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), kRunLoopExit), 1);
    EXPECT_GE(std::count(seen.begin(), seen.end(), kRunLoopAfterWaiting), 5);

    // Every turn: timers, sources, then (when it waits) before/after waiting around the wait.
    for (size_t i = 1; i + 1 < seen.size(); ++i) {
        switch (seen[i]) {
            case kRunLoopBeforeTimers:
                EXPECT_EQ(seen[i + 1] == kRunLoopBeforeSources || seen[i + 1] == kRunLoopExit, true)
                    << "at " << i;
                break;
            case kRunLoopBeforeSources:
                EXPECT_TRUE(seen[i + 1] == kRunLoopBeforeWaiting || seen[i + 1] == kRunLoopBeforeTimers ||
                            seen[i + 1] == kRunLoopExit)
                    << "at " << i;
                break;
            case kRunLoopBeforeWaiting:
                EXPECT_EQ(seen[i + 1], kRunLoopAfterWaiting) << "at " << i;
                break;
            case kRunLoopAfterWaiting:
                EXPECT_EQ(seen[i - 1], kRunLoopBeforeWaiting) << "at " << i;
                EXPECT_TRUE(seen[i + 1] == kRunLoopBeforeTimers || seen[i + 1] == kRunLoopExit) << "at " << i;
                break;
            default:
                ADD_FAILURE() << "unexpected activity " << seen[i] << " at " << i;
        }
    }
}

TEST(platform_dispatch_MainLoop, IdleLoopBlocksInsteadOfSpinning) {
    ActivityLog log;
    LoopThread loop;
    std::this_thread::sleep_for(50ms);
    int turns = log.count(kRunLoopBeforeTimers);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(log.count(kRunLoopBeforeTimers), turns);
}

TEST(platform_dispatch_MainLoop, TaskQueuedByTheBeforeWaitingObserverRunsWithoutAnotherWake) {
    // The daemon's observer does work right before the loop sleeps; a wake-up raised there must not
    // be lost, or the loop would sleep until an unrelated event.
    std::atomic<bool> queued{false};
    std::atomic<bool> ran{false};
    auto id = MainLoop::shared().addObserver(kRunLoopBeforeWaiting, [&](RunLoopActivity) {
        if (!queued.exchange(true)) WorkQueue::main()->dispatch([&] { ran = true; });
    });
    LoopThread loop;
    EXPECT_TRUE(eventually([&] { return ran.load(); }, 1000ms));
    MainLoop::shared().removeObserver(id);
}

TEST(platform_dispatch_MainLoop, TasksQueuedBeforeRunAreKeptAndRunInOrderOnTheLoopThread) {
    std::vector<std::string> seen;
    std::thread::id loopThread;
    for (int i = 0; i < 3; ++i) {
        WorkQueue::main()->dispatch([&, i] {
            seen.push_back(std::to_string(i) + ":" + WorkQueue::currentLabel());
            loopThread = std::this_thread::get_id();
        });
    }
    LoopThread loop;
    std::thread::id syncThread;
    WorkQueue::main()->dispatchSync([&] { syncThread = std::this_thread::get_id(); });
    loop.stop();
    EXPECT_EQ(seen, (std::vector<std::string>{"0:main", "1:main", "2:main"}));
    EXPECT_EQ(loopThread, syncThread);
    EXPECT_NE(loopThread, std::this_thread::get_id());
}

TEST(platform_dispatch_MainLoop, DispatchSyncOntoTheMainQueueFromItsOwnTaskRunsInPlace) {
    LoopThread loop;
    std::vector<int> order;
    WorkQueue::main()->dispatchSync([&] {
        order.push_back(1);
        WorkQueue::main()->dispatchSync([&] { order.push_back(2); });
        order.push_back(3);
    });
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(platform_dispatch_MainLoop, StopFromAnotherThreadEndsRunAndATaskCanStopIt) {
    {
        ActivityLog log;
        LoopThread loop;
        EXPECT_TRUE(loop.stop());
        EXPECT_FALSE(MainLoop::shared().isRunning());
        EXPECT_EQ(log.seen().back(), kRunLoopExit);
    }
    {
        // The loop runs again after a stop, and stop() from one of its own tasks ends it too.
        LoopThread loop;
        WorkQueue::main()->dispatch([] { MainLoop::shared().stop(); });
        EXPECT_TRUE(eventually([] { return !MainLoop::shared().isRunning(); }));
    }
}

TEST(platform_dispatch_MainLoop, KeepAliveTimerWakesAnIdleLoop) {
    ActivityLog log;
    std::atomic<int> callouts{0};
    std::atomic<bool> onLoop{true};
    auto timer = MainLoop::shared().addTimer(0ms, 20ms, [&] {
        if (!WorkQueue::main()->isCurrent()) onLoop = false;
        ++callouts;
    });
    LoopThread loop;
    ASSERT_TRUE(eventually([&] { return callouts.load() >= 5; }));
    EXPECT_TRUE(onLoop.load());
    // Only the timer can end the loop's waits here.
    EXPECT_GE(log.count(kRunLoopAfterWaiting), 2);

    timer->cancel();
    EXPECT_TRUE(timer->isCancelled());
    // Nothing is left to end the loop's waits (the manual-time tests show no call follows a cancel).
    WorkQueue::main()->dispatchSync([] {});
    EXPECT_FALSE(MainLoop::shared().nextTimerDue().has_value());
}

TEST(platform_dispatch_MainLoop, TimerAddedWhileWaitingShortensTheWait) {
    LoopThread loop;
    auto keepAlive = MainLoop::shared().addTimer(1h, 1h, [] {});
    std::this_thread::sleep_for(20ms);
    std::atomic<bool> fired{false};
    auto soon = MainLoop::shared().addTimer(10ms, 0ns, [&] { fired = true; });
    EXPECT_TRUE(eventually([&] { return fired.load(); }, 1000ms));
    EXPECT_TRUE(eventually([&] { return soon->isCancelled(); }, 1000ms))
        << "a one-shot timer is done once fired";
    keepAlive->cancel();
}

TEST(platform_dispatch_MainLoop, MainQueueDispatchAfterRunsOnTheLoop) {
    LoopThread loop;
    std::promise<std::string> label;
    auto start = std::chrono::steady_clock::now();
    WorkQueue::main()->dispatchAfter(30ms, [&] { label.set_value(WorkQueue::currentLabel()); });
    auto f = label.get_future();
    ASSERT_EQ(f.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(f.get(), "main");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(platform_dispatch_MainLoop, RemovedObserverIsNotCalledAgain) {
    std::atomic<int> calls{0};
    auto id = MainLoop::shared().addObserver(kRunLoopBeforeTimers, [&](RunLoopActivity) { ++calls; });
    LoopThread loop;
    WorkQueue::main()->dispatchSync([&] { MainLoop::shared().removeObserver(id); });
    int atRemoval = calls.load();
    for (int i = 0; i < 3; ++i) WorkQueue::main()->dispatchSync([] {});
    EXPECT_EQ(calls.load(), atRemoval);
}

}  // namespace
}  // namespace dispatch
