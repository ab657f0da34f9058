#include <gtest/gtest.h>

#include <atomic>

#include "TestSupport.h"
#include "dispatch/WorkQueue.h"

namespace dispatch {
namespace {

using namespace std::chrono_literals;
using test::eventually;

TEST(platform_dispatch_TimerSource, RepeatsOnItsQueueUntilCancelled) {
    auto queue = WorkQueue::create("test.timer.queue");
    std::atomic<int> fires{0};
    std::atomic<bool> wrongQueue{false};
    auto timer = TimerSource::create(queue, 0ms, 10ms, [&] {
        if (!queue->isCurrent()) wrongQueue = true;
        ++fires;
    });

    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(fires.load(), 0) << "a timer is created suspended";
    timer->resume();
    EXPECT_TRUE(eventually([&] { return fires.load() >= 5; }));

    // Cancelled from the queue itself, so no handler is running at that moment.
    int atCancel = 0;
    queue->dispatchSync([&] {
        timer->cancel();
        atCancel = fires.load();
    });
    EXPECT_TRUE(timer->isCancelled());
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(fires.load(), atCancel);
    EXPECT_FALSE(wrongQueue.load());
}

TEST(platform_dispatch_TimerSource, DroppingTheLastReferenceCancels) {
    auto queue = WorkQueue::create("test.timer.drop");
    std::atomic<int> fires{0};
    auto timer = TimerSource::create(queue, 0ms, 5ms, [&] { ++fires; });
    timer->resume();
    ASSERT_TRUE(eventually([&] { return fires.load() >= 2; }));
    int atRelease = 0;
    queue->dispatchSync([&] {
        timer.reset();
        atRelease = fires.load();
    });
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(fires.load(), atRelease);
}

TEST(platform_dispatch_TimerSource, FirstFireWaitsForTheStartDelay) {
    auto start = std::chrono::steady_clock::now();
    std::atomic<int64_t> firstAfterNs{-1};
    auto timer = TimerSource::create(WorkQueue::create("test.timer.start"), 80ms, 1h, [&] {
        int64_t expected = -1;
        firstAfterNs.compare_exchange_strong(expected, std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                           std::chrono::steady_clock::now() - start)
                                                           .count());
    });
    timer->resume();
    ASSERT_TRUE(eventually([&] { return firstAfterNs.load() >= 0; }));
    EXPECT_GE(firstAfterNs.load(), std::chrono::nanoseconds(80ms).count());
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

TEST(platform_dispatch_TimerSource, WithoutIntervalFiresOnce) {
    std::atomic<int> fires{0};
    auto timer = TimerSource::create(WorkQueue::create("test.timer.once"), 5ms, 0ns, [&] { ++fires; });
    timer->resume();
    ASSERT_TRUE(eventually([&] { return fires.load() == 1; }));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(fires.load(), 1);
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

TEST(platform_dispatch_TimerSource, CancelReleasesTheHandler) {
    auto queue = WorkQueue::create("test.timer.cycle");
    auto alive = std::make_shared<int>(0);
    std::weak_ptr<int> watch = alive;
    std::atomic<int> fires{0};
    auto timer = TimerSource::create(queue, 0ms, 5ms, [&fires, alive] { ++fires; });
    alive.reset();
    timer->resume();
    ASSERT_TRUE(eventually([&] { return fires.load() >= 1; }));
    queue->dispatchSync([&] { timer->cancel(); });
    // The handler (and what it captured) goes with the cancel, not with the source object.
    EXPECT_TRUE(eventually([&] { return watch.expired(); }));
}

}  // namespace
}  // namespace dispatch
