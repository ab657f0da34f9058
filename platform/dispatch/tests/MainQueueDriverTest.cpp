#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ManualTime.h"

namespace dispatch {
namespace {

using namespace std::chrono_literals;
using test::eventually;
using test::kWait;

// A foreign event loop of the smallest kind: a thread polling an eventfd, with the main queue
// bound to it. It waits until woken or until the next run-loop timer is due.
class PollLoop {
  public:
    PollLoop() {
        std::promise<bool> bound;
        auto boundFuture = bound.get_future();
        thread_ = std::thread([this, &bound] {
            threadId_ = std::this_thread::get_id();
            bound.set_value(MainLoop::shared().setDriver(driver_));
            while (!quit_) {
                auto next = MainLoop::shared().drain();
                ++drains_;
                int timeoutMs = -1;
                if (next) {
                    auto left = std::chrono::ceil<std::chrono::milliseconds>(
                        *next - std::chrono::steady_clock::now());
                    timeoutMs = static_cast<int>(std::max<int64_t>(0, left.count()));
                }
                pollfd p{driver_->fd, POLLIN, 0};
                if (::poll(&p, 1, timeoutMs) > 0) {
                    uint64_t n = 0;
                    [[maybe_unused]] auto r = ::read(driver_->fd, &n, sizeof n);
                }
            }
            MainLoop::shared().setDriver(nullptr);
        });
        EXPECT_TRUE(boundFuture.get());
    }
    ~PollLoop() {
        quit_ = true;
        driver_->wakeUp();
        thread_.join();
    }
    std::thread::id threadId() const { return threadId_; }
    int drains() const { return drains_; }

  private:
    struct Driver final : MainQueueDriver {
        Driver() : fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
        ~Driver() override { ::close(fd); }
        void wakeUp() override {
            uint64_t one = 1;
            [[maybe_unused]] auto r = ::write(fd, &one, sizeof one);
        }
        const int fd;
    };
    std::shared_ptr<Driver> driver_ = std::make_shared<Driver>();
    std::atomic<bool> quit_{false};
    std::atomic<int> drains_{0};
    std::thread::id threadId_;
    std::thread thread_;
};

TEST(platform_dispatch_MainQueueDriver, ForeignLoopRunsMainQueueTasksAndRunLoopTimersOnItsThread) {
    std::mutex m;
    std::vector<int> order;
    // Queued before the binding: the driver is woken for it at once.
    WorkQueue::main()->dispatch([&] {
        std::lock_guard lk(m);
        order.push_back(0);
    });
    PollLoop loop;
    std::thread producer([&] {
        for (int i = 1; i <= 100; ++i) {
            WorkQueue::main()->dispatch([&, i] {
                std::lock_guard lk(m);
                order.push_back(i);
            });
        }
    });
    producer.join();

    std::thread::id ranOn;
    std::string label;
    std::vector<int> nested;
    WorkQueue::main()->dispatchSync([&] {
        ranOn = std::this_thread::get_id();
        label = WorkQueue::currentLabel();
        // From the main queue's own thread a synchronous dispatch runs in place.
        WorkQueue::main()->dispatchSync([&] { nested.push_back(1); });
        nested.push_back(2);
    });
    EXPECT_EQ(ranOn, loop.threadId());
    EXPECT_EQ(label, "main");
    EXPECT_EQ(nested, (std::vector<int>{1, 2}));
    {
        std::lock_guard lk(m);
        ASSERT_EQ(order.size(), 101u);
        for (int i = 0; i <= 100; ++i) EXPECT_EQ(order[i], i);
    }

    // A run-loop timer ends the foreign loop's wait through the due time drain() returns.
    std::atomic<int> fires{0};
    std::thread::id timerThread;
    auto timer = MainLoop::shared().addTimer(20ms, 20ms, [&] {
        timerThread = std::this_thread::get_id();
        ++fires;
    });
    EXPECT_TRUE(eventually([&] { return fires.load() >= 3; }));
    timer->cancel();
    WorkQueue::main()->dispatchSync([] {});
    EXPECT_EQ(timerThread, loop.threadId());

    // While bound, run() does not take the main queue's work: it returns at once.
    std::promise<void> returned;
    auto runReturned = returned.get_future();
    std::thread other([&] {
        MainLoop::shared().run();
        returned.set_value();
    });
    if (runReturned.wait_for(kWait) != std::future_status::ready) {
        ADD_FAILURE() << "run() took over a driven main queue";
        MainLoop::shared().stop();
    }
    other.join();
}

TEST(platform_dispatch_MainQueueDriver, BeforeWaitingObserverRunsBeforeEachWaitAndManualTimersArrive) {
    std::atomic<int> beforeWaiting{0};
    std::atomic<int> afterWaiting{0};
    std::atomic<bool> queuedFromObserver{false};
    std::atomic<bool> ranFromObserver{false};
    auto id =
        MainLoop::shared().addObserver(kRunLoopBeforeWaiting | kRunLoopAfterWaiting, [&](RunLoopActivity a) {
            if (a == kRunLoopAfterWaiting) {
                ++afterWaiting;
                return;
            }
            ++beforeWaiting;
            if (!queuedFromObserver.exchange(true))
                WorkQueue::main()->dispatch([&] { ranFromObserver = true; });
        });
    {
        ManualTime time;
        PollLoop loop;
        // A task queued by the observer just before the wait wakes the loop again.
        EXPECT_TRUE(eventually([&] { return ranFromObserver.load(); }));

        std::atomic<int> callouts{0};
        auto timer = MainLoop::shared().addTimer(1min, 1min, [&] { ++callouts; });
        for (int i = 1; i <= 5; ++i) {
            time.advance(1min);
            WorkQueue::main()->dispatchSync([] {});
            EXPECT_EQ(callouts.load(), i);
        }
        timer->cancel();
    }
    MainLoop::shared().removeObserver(id);
    EXPECT_GE(beforeWaiting.load(), 2);
    EXPECT_GE(afterWaiting.load(), 1);
}

}  // namespace
}  // namespace dispatch
