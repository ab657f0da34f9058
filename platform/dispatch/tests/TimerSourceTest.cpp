#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <future>
#include <optional>
#include <fstream>
#include <set>
#include <string>

#include "TestSupport.h"
#include "platform/dispatch/Internal.h"
#include "platform/dispatch/MainLoop.h"
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


// The names of the process's threads, as the kernel keeps them.
std::multiset<std::string> threadNames() {
    std::multiset<std::string> names;
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir) return names;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name)) names.insert(name);
    }
    ::closedir(dir);
    return names;
}

// A serial queue's thread waits for its own deadlines: a tick wakes that thread alone, and the
// process-wide timer thread is never started for it.
TEST(platform_dispatch_TimerSource, SerialQueueWaitsForItsOwnDeadlinesWithoutTheTimerThread) {
    auto queue = WorkQueue::create("test.own.ticks");
    std::atomic<int> fires{0};
    std::atomic<bool> wrongQueue{false};
    auto timer = TimerSource::create(queue, 0ms, 3ms, [&] {
        if (!queue->isCurrent()) wrongQueue = true;
        ++fires;
    });
    timer->resume();
    std::promise<void> delayed;
    queue->dispatchAfter(20ms, [&] { delayed.set_value(); });
    ASSERT_EQ(delayed.get_future().wait_for(test::kWait), std::future_status::ready);
    ASSERT_TRUE(eventually([&] { return fires.load() >= 5; }));
    timer->cancel();
    EXPECT_FALSE(wrongQueue.load());
    EXPECT_EQ(threadNames().count("dispatch.timers"), 0u);
}

// Deadlines further off than a queue's idle spell are the timer thread's: they still come, and
// the queue's thread is free to end meanwhile.
TEST(platform_dispatch_TimerSource, DeadlinesBeyondTheIdleSpellStillCome) {
    const auto saved = detail::idleThreadTimeout();
    detail::setIdleThreadTimeout(20ms);
    auto queue = WorkQueue::create("test.far.ticks");
    std::atomic<int> fires{0};
    auto timer = TimerSource::create(queue, 60ms, 60ms, [&] { ++fires; });
    timer->resume();
    std::promise<void> delayed;
    queue->dispatchAfter(80ms, [&] { delayed.set_value(); });
    EXPECT_EQ(delayed.get_future().wait_for(test::kWait), std::future_status::ready);
    EXPECT_TRUE(eventually([&] { return fires.load() >= 3; }));
    timer->cancel();
    EXPECT_EQ(threadNames().count("dispatch.timers"), 1u);
    detail::setIdleThreadTimeout(saved);
}

// A cancelled timer lets go of its queue at once, though the queue's thread was waiting for the
// timer's next deadline: nothing is left to keep the queue alive in a cycle.
TEST(platform_dispatch_TimerSource, CancelReleasesTheQueueWaitingForTheDeadline) {
    auto queue = WorkQueue::create("test.release");
    std::weak_ptr<WorkQueue> watch = queue;
    std::atomic<int> fires{0};
    auto timer = TimerSource::create(queue, 0ms, 10s, [&] { ++fires; });
    timer->resume();
    ASSERT_TRUE(eventually([&] { return fires.load() == 1; }));
    queue.reset();
    EXPECT_FALSE(watch.expired()) << "an armed timer holds its queue";
    timer->cancel();
    EXPECT_TRUE(watch.expired());
}

// A suspended timer's queue thread ends after its idle spell: a suspended timer holds no thread
// and wakes nothing. Resumed, it ticks again.
TEST(platform_dispatch_TimerSource, SuspendedTimerHoldsNoThread) {
    const auto saved = detail::idleThreadTimeout();
    detail::setIdleThreadTimeout(30ms);
    auto queue = WorkQueue::create("test.suspended");
    std::atomic<int> fires{0};
    auto timer = TimerSource::create(queue, 0ms, 5ms, [&] { ++fires; });
    timer->resume();
    ASSERT_TRUE(eventually([&] { return fires.load() >= 2; }));
    queue->dispatchSync([&] { timer->suspend(); });
    EXPECT_TRUE(eventually([] { return threadNames().count("test.suspended") == 0; }));
    const int before = fires.load();
    timer->resume();
    EXPECT_TRUE(eventually([&] { return fires.load() >= before + 2; }));
    timer->cancel();
    detail::setIdleThreadTimeout(saved);
}

// suspend() and resume() on the manual timeline: nothing is armed while suspended, expiries in
// between are dropped, and the next call comes at the next instant of the original phase
// (start 2 s, then every 3 s: 2, 5, 8, 11...). Both kinds of timer keep the same rule.
TEST(platform_dispatch_TimerSource, ResumeAfterSuspendKeepsThePhase) {
    struct Case {
        const char* name;
        std::chrono::nanoseconds suspendedFor;  // after the call at 5 s
        std::chrono::nanoseconds nextCallAfterResume;
    };
    const Case cases[] = {
        {"resumed at once", 0s, 3s},           // next at 8
        {"mid-interval", 1s, 2s},              // resumed at 6, next at 8
        {"past missed calls", 4s + 500ms, 1500ms},  // resumed at 9.5, next at 11
        {"on an instant of the phase", 6s, 0s},    // resumed at 11, called at 11
    };
    for (bool runLoop : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(runLoop ? "run-loop timer, " : "timer source, ") + c.name);
            std::optional<test::LoopThread> loop;
            if (runLoop) loop.emplace();
            ManualTime time;
            auto queue = runLoop ? WorkQueue::main() : WorkQueue::create("test.phase");
            std::atomic<int> fires{0};
            std::shared_ptr<TimerSource> timer;
            if (runLoop) {
                timer = MainLoop::shared().addTimer(2s, 3s, [&] { ++fires; });
            } else {
                timer = TimerSource::create(queue, 2s, 3s, [&] { ++fires; });
                timer->resume();
            }
            auto step = [&](std::chrono::nanoseconds by) {
                ManualTime::advance(by);
                queue->dispatchSync([] {});
                return fires.load();
            };
            EXPECT_EQ(step(2s), 1);
            EXPECT_EQ(step(3s), 2);
            timer->suspend();
            EXPECT_EQ(ManualTime::pending(), 0u) << "a suspended timer arms nothing";
            EXPECT_EQ(step(c.suspendedFor), 2);
            timer->resume();
            if (c.nextCallAfterResume > 0s) {
                EXPECT_EQ(step(0s), 2) << "missed expiries are dropped, not merged into a call";
                EXPECT_EQ(step(c.nextCallAfterResume - 1ns), 2);
                EXPECT_EQ(step(1ns), 3);
            } else {
                EXPECT_EQ(step(0s), 3);
            }
            EXPECT_EQ(step(3s), 4) << "and on in the same phase";
            timer->cancel();
            queue->dispatchSync([] {});
        }
    }
}

}  // namespace
}  // namespace dispatch
