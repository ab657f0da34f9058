#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "TestSupport.h"
#include "platform/dispatch/NotificationCenter.h"

namespace dispatch {
namespace {

using namespace std::chrono_literals;
using test::eventually;
using test::Gate;
using test::LoopThread;

TEST(platform_dispatch_NotificationCenter, DeliversToEachMatchingObserverOnItsQueue) {
    auto& center = NotificationCenter::defaultCenter();
    auto queue = WorkQueue::create("test.note.queue");
    std::mutex m;
    std::vector<std::string> got;  // "<observer>:<name>@<queue label>"
    auto record = [&](std::string who) {
        return [&, who](const Notification& n) {
            std::lock_guard lk(m);
            got.push_back(who + ":" + n.name + "@" + WorkQueue::currentLabel());
        };
    };
    auto a = center.addObserver("heartbeat_restart_notification", queue, record("a"));
    auto b = center.addObserver("upgrade_restart_notification", queue, record("b"));
    auto all = center.addObserver("", queue, record("all"));

    center.post("heartbeat_restart_notification");
    center.post("unrelated_notification");
    queue->dispatchSync([] {});

    EXPECT_EQ(got, (std::vector<std::string>{"a:heartbeat_restart_notification@test.note.queue",
                                             "all:heartbeat_restart_notification@test.note.queue",
                                             "all:unrelated_notification@test.note.queue"}));
    for (auto id : {a, b, all}) center.removeObserver(id);
}

TEST(platform_dispatch_NotificationCenter, ObserverWithoutQueueRunsOnThePostingThreadBeforePostReturns) {
    auto& center = NotificationCenter::defaultCenter();
    std::thread::id handlerThread;
    archive::Value object, info;
    auto id = center.addObserver("changed_networktype_notification", nullptr, [&](const Notification& n) {
        handlerThread = std::this_thread::get_id();
        object = n.object;
        info = n.userInfo;
    });
    center.post("changed_networktype_notification", 1, archive::Dictionary{{"type", 2}});
    EXPECT_EQ(handlerThread, std::this_thread::get_id());
    EXPECT_EQ(object, archive::Value(1));
    ASSERT_TRUE(info.isDictionary());
    EXPECT_EQ(std::get<int64_t>(info.dictionary()->at("type").storage()), 2);
    center.removeObserver(id);
}

TEST(platform_dispatch_NotificationCenter, PostsToTheMainQueueRunOnTheLoopThread) {
    auto& center = NotificationCenter::defaultCenter();
    LoopThread loop;
    std::promise<std::string> label;
    auto id = center.addObserver("start_getpolicycontent_notification", WorkQueue::main(),
                                 [&](const Notification&) { label.set_value(WorkQueue::currentLabel()); });
    std::thread([&] { center.post("start_getpolicycontent_notification"); }).join();
    auto f = label.get_future();
    ASSERT_EQ(f.wait_for(test::kWait), std::future_status::ready);
    EXPECT_EQ(f.get(), "main");
    center.removeObserver(id);
}

TEST(platform_dispatch_NotificationCenter, RemovedObserverGetsNothingMoreEvenWhatWasAlreadyQueued) {
    auto& center = NotificationCenter::defaultCenter();
    auto queue = WorkQueue::create("test.note.removal");
    std::atomic<int> calls{0};
    auto id = center.addObserver("n", queue, [&](const Notification&) { ++calls; });

    Gate gate;
    queue->dispatch([&] { gate.wait(); });
    center.post("n");  // queued behind the gate
    center.removeObserver(id);
    center.post("n");
    gate.open();
    queue->dispatchSync([] {});
    EXPECT_EQ(calls.load(), 0);
}

TEST(platform_dispatch_NotificationCenter, RemovalWhilePostsAreInFlightStopsDelivery) {
    auto& center = NotificationCenter::defaultCenter();
    auto queue = WorkQueue::create("test.note.race");
    std::atomic<bool> removed{false};
    std::atomic<int> before{0};
    std::atomic<int> after{0};
    auto id = center.addObserver("race", queue, [&](const Notification&) { removed ? ++after : ++before; });

    std::atomic<bool> stop{false};
    std::vector<std::thread> posters;
    for (int i = 0; i < 4; ++i) {
        posters.emplace_back([&] {
            while (!stop) center.post("race");
        });
    }
    ASSERT_TRUE(eventually([&] { return before.load() > 100; }));
    center.removeObserver(id);
    // A handler already running may finish; once the queue has moved past it, none may start.
    queue->dispatchSync([&] { removed = true; });
    std::this_thread::sleep_for(20ms);
    stop = true;
    for (auto& p : posters) p.join();
    queue->dispatchSync([] {});
    EXPECT_EQ(after.load(), 0);
}

TEST(platform_dispatch_NotificationCenter, HandlerMayRemoveItselfAndAddOthers) {
    auto& center = NotificationCenter::defaultCenter();
    int calls = 0;
    NotificationCenter::ObserverId self = 0;
    NotificationCenter::ObserverId added = 0;
    self = center.addObserver("once", nullptr, [&](const Notification&) {
        ++calls;
        center.removeObserver(self);
        added = center.addObserver("other", nullptr, [](const Notification&) {});
    });
    center.post("once");
    center.post("once");
    EXPECT_EQ(calls, 1);
    center.removeObserver(added);
}

}  // namespace
}  // namespace dispatch
