#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <stdexcept>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/dispatch/Internal.h"
#include "platform/dispatch/WorkQueue.h"

namespace dispatch {
namespace {

using namespace std::chrono_literals;
using test::eventually;
using test::Gate;
using test::kWait;
using test::processThreads;

TEST(platform_dispatch_SerialQueue, RunsTasksFromManyThreadsOneAtATimeInOrder) {
    auto queue = WorkQueue::create("test.serial.order");
    constexpr int kThreads = 8;
    constexpr int kTasks = 500;
    std::vector<std::vector<int>> seen(kThreads);  // touched only on the queue
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> total{0};

    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < kTasks; ++i) {
                queue->dispatch([&, t, i] {
                    if (running.fetch_add(1) != 0) overlapped = true;
                    seen[t].push_back(i);
                    running.fetch_sub(1);
                    total.fetch_add(1);
                });
            }
        });
    }
    for (auto& p : producers) p.join();
    queue->dispatchSync([] {});

    EXPECT_EQ(total.load(), kThreads * kTasks);
    EXPECT_FALSE(overlapped.load());
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), static_cast<size_t>(kTasks));
        for (int i = 0; i < kTasks; ++i) EXPECT_EQ(seen[t][i], i) << "producer " << t;
    }
}

TEST(platform_dispatch_SerialQueue, ReleasingTheQueueDoesNotWaitAndStillRunsQueuedTasks) {
    auto queue = WorkQueue::create("test.serial.release");
    Gate gate;
    std::atomic<bool> laterTaskRan{false};
    queue->dispatch([&] { gate.wait(); });
    queue->dispatch([&] { laterTaskRan = true; });

    auto before = std::chrono::steady_clock::now();
    queue.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << "the release waited for the queued tasks";

    gate.open();
    EXPECT_TRUE(eventually([&] { return laterTaskRan.load(); }));
}

TEST(platform_dispatch_SerialQueue, LastReferenceHeldByItsOwnTaskEndsTheThreadCleanly) {
    std::atomic<pid_t> worker{0};
    {
        auto queue = WorkQueue::create("test.serial.self");
        queue->dispatch([&worker, keep = queue] {
            EXPECT_TRUE(keep->isCurrent());
            worker = test::currentThreadId();
        });
    }
    ASSERT_TRUE(eventually([&] { return worker.load() != 0; }));
    EXPECT_TRUE(eventually([&] { return !test::threadAlive(worker); }));
}

TEST(platform_dispatch_SerialQueue, ThreadCountStaysBoundedAfterManyQueuesComeAndGo) {
    // The timer thread and the queues' threads of earlier work are not part of this count.
    WorkQueue::create("test.serial.warmup")->dispatchAfter(1ms, [] {});
    int baseline = processThreads();
    Gate gate;
    std::atomic<int> done{0};
    for (int i = 0; i < 200; ++i) {
        auto queue = WorkQueue::create("test.serial." + std::to_string(i));
        if (i % 2 == 0) {
            // Released while its task still runs: the thread must end once it is drained.
            queue->dispatch([&] {
                gate.wait();
                ++done;
            });
        } else {
            // Released idle: the thread is joined at once.
            queue->dispatchSync([&] { ++done; });
        }
    }
    gate.open();
    EXPECT_TRUE(eventually([&] { return done.load() == 200; }));
    EXPECT_TRUE(eventually([&] { return processThreads() <= baseline + 1; }))
        << "threads: " << processThreads() << ", before: " << baseline;
}

TEST(platform_dispatch_SerialQueue, IdleThreadEndsAndANewOneServesLaterTasksInOrder) {
    detail::setIdleThreadTimeout(30ms);
    auto queue = WorkQueue::create("test.serial.idle");
    pid_t first = 0;
    queue->dispatchSync([&] { first = test::currentThreadId(); });
    EXPECT_TRUE(eventually([&] { return !test::threadAlive(first); }));

    std::vector<int> order;
    for (int i = 0; i < 100; ++i) queue->dispatch([&order, i] { order.push_back(i); });
    std::string label;
    pid_t second = 0;
    queue->dispatchSync([&] {
        label = WorkQueue::currentLabel();
        second = test::currentThreadId();
    });
    detail::setIdleThreadTimeout(30s);

    EXPECT_NE(second, first);
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_EQ(label, "test.serial.idle");
}

TEST(platform_dispatch_ConcurrentQueue, RunsTasksInParallel) {
    auto queue = WorkQueue::create("test.concurrent.pair", QueueAttr::Concurrent);
    std::mutex m;
    std::condition_variable cv;
    int arrived = 0;
    std::atomic<int> met{0};
    // Each task waits for the other: only parallel execution lets both finish.
    auto meet = [&] {
        std::unique_lock lk(m);
        ++arrived;
        cv.notify_all();
        if (cv.wait_for(lk, kWait, [&] { return arrived == 2; })) ++met;
    };
    queue->dispatch(meet);
    queue->dispatch(meet);
    EXPECT_TRUE(eventually([&] { return met.load() == 2; }));
}

TEST(platform_dispatch_ConcurrentQueue, UsesAtMostFourThreadsAndRunsEveryTask) {
    auto queue = WorkQueue::create("test.concurrent.cap", QueueAttr::Concurrent);
    Gate gate;
    std::atomic<int> running{0};
    std::atomic<int> peak{0};
    std::atomic<int> done{0};
    for (int i = 0; i < 20; ++i) {
        queue->dispatch([&] {
            int now = ++running;
            int seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {
            }
            gate.wait(200ms);
            --running;
            ++done;
        });
    }
    EXPECT_TRUE(eventually([&] { return peak.load() == 4; }));
    gate.open();
    EXPECT_TRUE(eventually([&] { return done.load() == 20; }));
    EXPECT_EQ(peak.load(), 4);
}

TEST(platform_dispatch_ConcurrentQueue, SyncTasksFromEveryPoolThreadDoNotStarve) {
    auto queue = WorkQueue::create("test.concurrent.sync", QueueAttr::Concurrent);
    std::atomic<int> inner{0};
    for (int i = 0; i < 8; ++i) {
        queue->dispatch([&] {
            queue->dispatchSync([&] {
                EXPECT_TRUE(queue->isCurrent());
                ++inner;
            });
        });
    }
    EXPECT_TRUE(eventually([&] { return inner.load() == 8; }));
}

TEST(platform_dispatch_WorkQueue, GlobalIsOneSharedConcurrentQueue) {
    auto a = WorkQueue::global();
    EXPECT_EQ(a, WorkQueue::global());
    EXPECT_EQ(a->attr(), QueueAttr::Concurrent);
    std::atomic<bool> ran{false};
    a->dispatch([&] { ran = a->isCurrent(); });
    EXPECT_TRUE(eventually([&] { return ran.load(); }));
}

TEST(platform_dispatch_WorkQueue, DispatchSyncRunsTheTaskBeforeReturning) {
    struct Case {
        const char* name;
        QueueAttr attr;
    };
    for (const Case& c :
         {Case{"test.sync.serial", QueueAttr::Serial}, Case{"test.sync.concurrent", QueueAttr::Concurrent}}) {
        SCOPED_TRACE(c.name);
        auto queue = WorkQueue::create(c.name, c.attr);
        int value = 0;
        std::string label;
        queue->dispatchSync([&] {
            value = 42;
            label = WorkQueue::currentLabel();
        });
        EXPECT_EQ(value, 42);
        EXPECT_EQ(label, c.name);
        EXPECT_EQ(WorkQueue::currentLabel(), "");

        EXPECT_THROW(queue->dispatchSync([] { throw std::runtime_error("boom"); }), std::runtime_error);
        // The queue survives a throwing task.
        queue->dispatchSync([&] { value = 7; });
        EXPECT_EQ(value, 7);
    }
}

TEST(platform_dispatch_WorkQueue, DispatchSyncFromAnotherQueueAndOntoItselfCompletes) {
    auto outer = WorkQueue::create("test.sync.outer");
    auto inner = WorkQueue::create("test.sync.inner");
    std::vector<std::string> labels;
    outer->dispatchSync([&] {
        inner->dispatchSync([&] { labels.push_back(WorkQueue::currentLabel()); });
        labels.push_back(WorkQueue::currentLabel());
        // From its own task: runs in place rather than waiting for itself.
        outer->dispatchSync([&] { labels.push_back("nested"); });
    });
    EXPECT_EQ(labels, (std::vector<std::string>{"test.sync.inner", "test.sync.outer", "nested"}));
}

TEST(platform_dispatch_WorkQueue, CurrentLabelNamesTheRunningQueue) {
    EXPECT_EQ(WorkQueue::currentLabel(), "");
    auto serial = WorkQueue::create("com.velmora.test.serial");
    auto pool = WorkQueue::create("com.velmora.test.pool", QueueAttr::Concurrent);
    std::promise<std::string> fromSerial, fromPool;
    serial->dispatch([&] { fromSerial.set_value(WorkQueue::currentLabel()); });
    pool->dispatch([&] { fromPool.set_value(WorkQueue::currentLabel()); });
    auto a = fromSerial.get_future(), b = fromPool.get_future();
    ASSERT_EQ(a.wait_for(kWait), std::future_status::ready);
    ASSERT_EQ(b.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(a.get(), "com.velmora.test.serial");
    EXPECT_EQ(b.get(), "com.velmora.test.pool");
    EXPECT_FALSE(serial->isCurrent());
}

TEST(platform_dispatch_WorkQueue, DispatchAfterWaitsForItsDelayAndOrdersByDeadline) {
    for (QueueAttr attr : {QueueAttr::Serial, QueueAttr::Concurrent}) {
        SCOPED_TRACE(attr == QueueAttr::Serial ? "serial" : "concurrent");
        auto queue = WorkQueue::create("test.after", attr);
        std::mutex m;
        std::map<std::string, std::chrono::steady_clock::duration> firedAfter;
        std::vector<std::string> order;
        auto start = std::chrono::steady_clock::now();
        auto record = [&](std::string name) {
            return [&, name] {
                EXPECT_TRUE(queue->isCurrent());
                std::lock_guard lk(m);
                firedAfter[name] = std::chrono::steady_clock::now() - start;
                order.push_back(name);
            };
        };
        queue->dispatchAfter(120ms, record("late"));
        queue->dispatchAfter(40ms, record("early"));
        ASSERT_TRUE(eventually([&] {
            std::lock_guard lk(m);
            return order.size() == 2;
        }));
        EXPECT_GE(firedAfter["early"], 40ms);
        EXPECT_GE(firedAfter["late"], 120ms);
        // A pool may run two tasks that came due together in either order; a serial queue may not.
        if (attr == QueueAttr::Serial) {
            EXPECT_EQ(order, (std::vector<std::string>{"early", "late"}));
        }
    }
}

TEST(platform_dispatch_WorkQueue, DispatchAfterKeepsAReleasedQueueUntilItFires) {
    std::promise<std::string> label;
    WorkQueue::create("test.after.released")->dispatchAfter(20ms, [&] {
        label.set_value(WorkQueue::currentLabel());
    });
    auto f = label.get_future();
    ASSERT_EQ(f.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(f.get(), "test.after.released");
}

}  // namespace
}  // namespace dispatch
