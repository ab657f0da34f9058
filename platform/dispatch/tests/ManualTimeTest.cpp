#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "TestSupport.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ManualTime.h"
#include "platform/dispatch/WorkQueue.h"

namespace dispatch {
namespace {

using namespace std::chrono_literals;
using test::eventually;
using test::Gate;
using test::LoopThread;

// Names the tasks record as they run, in order.
class Record {
  public:
    Task add(std::string name) {
        return [this, name] {
            std::lock_guard lk(m_);
            seen_.push_back(name);
        };
    }
    std::vector<std::string> seen() {
        std::lock_guard lk(m_);
        return seen_;
    }

  private:
    std::mutex m_;
    std::vector<std::string> seen_;
};

TEST(platform_dispatch_ManualTime, DispatchAfterComesDueOnlyWhenTimeReachesItAndInDeadlineOrder) {
    ManualTime time;
    auto serial = WorkQueue::create("test.manual.after");
    LoopThread loop;
    for (const auto& queue : {serial, WorkQueue::main()}) {
        SCOPED_TRACE(queue->label());
        Record record;
        queue->dispatchAfter(120s, record.add("late"));
        queue->dispatchAfter(40s, record.add("early"));
        queue->dispatchAfter(40s, record.add("early, queued second"));
        queue->dispatchAfter(0s, record.add("now"));

        auto step = [&](std::chrono::nanoseconds by) {
            time.advance(by);
            queue->dispatchSync([] {});
            return record.seen();
        };
        EXPECT_EQ(step(40s - 1ns), (std::vector<std::string>{"now"}));
        EXPECT_EQ(step(1ns), (std::vector<std::string>{"now", "early", "early, queued second"}));
        EXPECT_EQ(step(80s - 1ns).size(), 3u);
        EXPECT_EQ(step(1ns).back(), "late");
        EXPECT_EQ(ManualTime::pending(), 0u);
    }
}

TEST(platform_dispatch_ManualTime, TimerSourceFiresAtEachIntervalWhenSteppedAndMergesWhenItsQueueIsBusy) {
    ManualTime time;
    auto queue = WorkQueue::create("test.manual.timer");
    std::atomic<int> fires{0};
    std::atomic<bool> wrongQueue{false};
    auto timer = TimerSource::create(queue, 5s, 1s, [&] {
        if (!queue->isCurrent()) wrongQueue = true;
        ++fires;
    });
    auto step = [&](std::chrono::nanoseconds by) {
        time.advance(by);
        queue->dispatchSync([] {});
        return fires.load();
    };
    EXPECT_EQ(step(10s), 0) << "a timer is created suspended";
    timer->resume();
    EXPECT_EQ(step(5s - 1ns), 0);
    EXPECT_EQ(step(1ns), 1);
    for (int i = 2; i <= 60; ++i) ASSERT_EQ(step(1s), i);

    // Ten expiries while the queue is held: one call now and one for the nine merged into it.
    Gate gate;
    queue->dispatch([&] { gate.wait(); });
    time.advance(10s);
    gate.open();
    EXPECT_TRUE(eventually([&] { return fires.load() == 62; }));
    EXPECT_EQ(step(0s), 62);
    EXPECT_EQ(step(1s), 63);

    queue->dispatchSync([&] { timer->cancel(); });
    EXPECT_EQ(ManualTime::pending(), 0u);
    EXPECT_EQ(step(1h), 63);
    EXPECT_FALSE(wrongQueue.load());
}

TEST(platform_dispatch_ManualTime, RunLoopTimersFireOnTheLoopOnlyAsTimeAdvances) {
    ManualTime time;
    LoopThread loop;
    std::atomic<int> callouts{0};
    std::atomic<bool> onLoop{true};
    auto timer = MainLoop::shared().addTimer(10s, 10s, [&] {
        if (!WorkQueue::main()->isCurrent()) onLoop = false;
        ++callouts;
    });
    auto oneShot = MainLoop::shared().addTimer(15s, 0s, [&] { callouts += 100; });
    auto step = [&](std::chrono::nanoseconds by) {
        time.advance(by);
        WorkQueue::main()->dispatchSync([] {});
        return callouts.load();
    };
    EXPECT_EQ(step(10s - 1ns), 0);
    EXPECT_EQ(step(1ns), 1);
    EXPECT_EQ(step(5s), 101);
    EXPECT_TRUE(oneShot->isCancelled()) << "a one-shot timer is done once fired";
    EXPECT_EQ(step(5s), 102);
    EXPECT_FALSE(MainLoop::shared().nextTimerDue().has_value())
        << "manual timers must not wake the real loop";

    timer->cancel();
    EXPECT_EQ(step(1h), 102);
    EXPECT_EQ(ManualTime::pending(), 0u);
    EXPECT_TRUE(onLoop.load());
}

TEST(platform_dispatch_ManualTime, ClockMovesWithTheTimelineAndEndingItDropsWhatWaits) {
    auto captured = std::make_shared<int>(0);
    std::weak_ptr<int> watch = captured;
    auto queue = WorkQueue::create("test.manual.end");
    double wallAtFire = 0;
    double wallStart = 0;
    {
        ManualTime time;
        EXPECT_THROW({ ManualTime second; }, std::logic_error) << "one timeline at a time";
        wallStart = ManualTime::clock().now();
        double upStart = ManualTime::clock().uptime();
        queue->dispatchAfter(30s, [&] { wallAtFire = ManualTime::clock().now(); });
        queue->dispatchAfter(1h, [captured = std::move(captured)] { ADD_FAILURE() << "ran after the end"; });
        time.advance(30s);
        queue->dispatchSync([] {});
        time.advance(60s);
        EXPECT_EQ(ManualTime::elapsed(), 90s);
        EXPECT_DOUBLE_EQ(ManualTime::clock().uptime() - upStart, 90.0);
        EXPECT_EQ(ManualTime::pending(), 1u);
        EXPECT_FALSE(watch.expired());
    }
    EXPECT_FALSE(ManualTime::active());
    EXPECT_TRUE(watch.expired()) << "what waited on the manual timeline is dropped with it";
    EXPECT_DOUBLE_EQ(wallAtFire - wallStart, 30.0);

    // Real time again: delayed work fires by itself.
    std::atomic<bool> fired{false};
    queue->dispatchAfter(1ms, [&] { fired = true; });
    EXPECT_TRUE(eventually([&] { return fired.load(); }));
}

}  // namespace
}  // namespace dispatch
