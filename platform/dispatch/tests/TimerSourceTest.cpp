#include <gtest/gtest.h>

#include <atomic>

#include "TestSupport.h"
#include "platform/dispatch/ManualTime.h"
#include "platform/dispatch/WorkQueue.h"

namespace dispatch {
namespace {

using namespace std::chrono_literals;
using test::eventually;

TEST(platform_dispatch_TimerSource, RealTimeWaitsForTheStartThenRepeatsOnItsQueue) {
    auto queue = WorkQueue::create("test.timer.queue");
    std::atomic<int> fires{0};
    std::atomic<bool> wrongQueue{false};
    std::chrono::steady_clock::time_point firstFire;
    auto timer = TimerSource::create(queue, 30ms, 5ms, [&] {
        if (!queue->isCurrent()) wrongQueue = true;
        if (fires.load() == 0) firstFire = std::chrono::steady_clock::now();
        ++fires;
    });
    auto resumed = std::chrono::steady_clock::now();
    timer->resume();
    EXPECT_TRUE(eventually([&] { return fires.load() >= 5; }));
    queue->dispatchSync([&] { EXPECT_GE(firstFire - resumed, 30ms); });
    queue->dispatchSync([&] { timer->cancel(); });
    EXPECT_TRUE(timer->isCancelled());
    EXPECT_FALSE(wrongQueue.load());
}

// The timer source's rules on the manual timeline, where "nothing more happens" can be shown.
class ManualTimer : public ::testing::Test {
  protected:
    std::shared_ptr<TimerSource> make(std::chrono::nanoseconds start, std::chrono::nanoseconds interval,
                                      Task extra = nullptr) {
        return TimerSource::create(queue_, start, interval, [this, extra = std::move(extra)] {
            ++fires_;
            if (extra) extra();
        });
    }
    // Advances time and waits for the queue; returns the calls so far.
    int step(std::chrono::nanoseconds by) {
        time_.advance(by);
        queue_->dispatchSync([] {});
        return fires_.load();
    }
    ManualTime time_;
    std::shared_ptr<WorkQueue> queue_ = WorkQueue::create("test.timer.manual");
    std::atomic<int> fires_{0};
};

TEST_F(ManualTimer, StartsSuspendedFiresAfterItsStartThenEveryIntervalUntilCancelled) {
    auto timer = make(80s, 10s);
    EXPECT_EQ(step(1h), 0) << "a timer is created suspended";
    timer->resume();
    EXPECT_EQ(step(80s - 1ns), 0);
    EXPECT_EQ(step(1ns), 1);
    EXPECT_EQ(step(10s), 2);
    EXPECT_EQ(step(10s), 3);
    queue_->dispatchSync([&] { timer->cancel(); });
    EXPECT_TRUE(timer->isCancelled());
    EXPECT_EQ(step(1h), 3);
    timer->resume();
    EXPECT_EQ(step(1h), 3) << "a cancelled timer cannot be resumed";
}

TEST_F(ManualTimer, WithoutIntervalFiresOnce) {
    auto timer = make(5s, 0s);
    timer->resume();
    EXPECT_EQ(step(5s), 1);
    EXPECT_EQ(step(1h), 1);
    EXPECT_EQ(ManualTime::pending(), 0u);
}

TEST_F(ManualTimer, CancelOrDroppingTheLastReferenceStopsItAndReleasesTheHandler) {
    for (bool dropInsteadOfCancel : {false, true}) {
        SCOPED_TRACE(dropInsteadOfCancel ? "dropped" : "cancelled");
        auto alive = std::make_shared<int>(0);
        std::weak_ptr<int> watch = alive;
        auto timer = make(0s, 5s, [alive] {});
        alive.reset();
        timer->resume();
        int before = step(0s);
        EXPECT_EQ(step(5s), before + 1);
        queue_->dispatchSync([&] {
            if (dropInsteadOfCancel) {
                timer.reset();
            } else {
                timer->cancel();
            }
        });
        // The handler (and what it captured) goes with the cancel, not with the source object.
        EXPECT_TRUE(watch.expired());
        EXPECT_EQ(step(1h), before + 1);
        EXPECT_EQ(ManualTime::pending(), 0u);
    }
}

TEST(platform_dispatch_TimerSource, SlowHandlerNeverOverlapsItself) {
    // On a concurrent queue only the source itself can keep its handler from running twice at once.
    auto queue = WorkQueue::create("test.timer.slow", QueueAttr::Concurrent);
    struct Counts {
        std::atomic<int> running{0};
        std::atomic<bool> overlapped{false};
        std::atomic<int> calls{0};
    };
    // Shared with the handler: a call already running when the test ends still finishes.
    auto counts = std::make_shared<Counts>();
    auto timer = TimerSource::create(queue, 0ms, 2ms, [counts] {
        if (counts->running.fetch_add(1) != 0) counts->overlapped = true;
        std::this_thread::sleep_for(20ms);
        counts->running.fetch_sub(1);
        ++counts->calls;
    });
    timer->resume();
    // Expiries missed while the handler runs merge into the next call, so the calls go on.
    ASSERT_TRUE(eventually([&] { return counts->calls.load() >= 5; }));
    timer->cancel();
    EXPECT_FALSE(counts->overlapped.load());
}

TEST(platform_dispatch_TimerSource, WithoutQueueFiresOnTheGlobalQueue) {
    std::promise<bool> onGlobal;
    auto timer =
        TimerSource::create(nullptr, 0ms, 1h, [&] { onGlobal.set_value(WorkQueue::global()->isCurrent()); });
    timer->resume();
    auto f = onGlobal.get_future();
    ASSERT_EQ(f.wait_for(test::kWait), std::future_status::ready);
    EXPECT_TRUE(f.get());
}

}  // namespace
}  // namespace dispatch
