// The main run loop: one thread, a task list, run-loop timers and activity observers.
#include "dispatch/MainLoop.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "dispatch/Internal.h"

namespace dispatch {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct ObserverEntry {
    MainLoop::ObserverId id;
    uint32_t activities;
    MainLoop::Observer observer;
    std::atomic<bool> active{true};
};
using ObserverList = std::vector<std::shared_ptr<ObserverEntry>>;

struct LoopCore;

// A run-loop timer. The loop keeps it until it is cancelled or, without an interval, has fired.
class RunLoopTimer final : public TimerSource {
  public:
    RunLoopTimer(std::weak_ptr<LoopCore> loop, SteadyClock::time_point first,
                 std::chrono::nanoseconds interval, Task callout)
        : loop_(std::move(loop)), interval_(interval), callout_(std::move(callout)), next_(first) {}

    void resume() override {}
    void cancel() override;
    bool isCancelled() const override { return cancelled_; }

    void call() const { detail::runGuarded(callout_); }

  private:
    friend struct LoopCore;
    std::weak_ptr<LoopCore> loop_;
    const std::chrono::nanoseconds interval_;
    const Task callout_;
    std::atomic<bool> cancelled_{false};
    SteadyClock::time_point next_;  // guarded by the loop's mutex
};

struct LoopCore {
    const std::string label = "main";
    std::mutex m;
    std::condition_variable cv;
    std::deque<Task> tasks;
    std::vector<std::shared_ptr<RunLoopTimer>> timers;
    std::shared_ptr<const ObserverList> observers = std::make_shared<const ObserverList>();
    MainLoop::ObserverId nextObserverId = 1;
    // Something happened that may end a wait: a task, a timer change, a stop.
    bool signalled = false;
    bool running = false;
    std::atomic<bool> stopRequested{false};

    void signal() {
        {
            std::lock_guard lk(m);
            signalled = true;
        }
        cv.notify_all();
    }

    void notify(RunLoopActivity activity) {
        std::shared_ptr<const ObserverList> list;
        {
            std::lock_guard lk(m);
            list = observers;
        }
        for (const auto& entry : *list) {
            if ((entry->activities & activity) && entry->active) {
                detail::runGuarded([&] { entry->observer(activity); });
            }
        }
    }

    void fireDueTimers() {
        std::vector<std::shared_ptr<RunLoopTimer>> due;
        {
            std::lock_guard lk(m);
            auto now = SteadyClock::now();
            for (auto& t : timers) {
                if (t->cancelled_ || t->next_ > now) continue;
                due.push_back(t);
                if (t->interval_.count() > 0) {
                    // Keep the phase; fires missed while the loop was busy are not replayed.
                    auto behind = (now - t->next_) / t->interval_ + 1;
                    t->next_ += t->interval_ * behind;
                } else {
                    t->next_ = SteadyClock::time_point::max();
                }
            }
        }
        for (const auto& t : due) {
            if (t->cancelled_) continue;
            t->call();
            // A timer without an interval is done once it has fired.
            if (t->interval_.count() <= 0) t->cancelled_ = true;
        }
        std::lock_guard lk(m);
        std::erase_if(timers, [](const auto& t) { return t->cancelled_.load(); });
    }

    void runTasks() {
        std::deque<Task> batch;
        {
            std::lock_guard lk(m);
            batch.swap(tasks);
        }
        // Only the tasks present at the start of the turn: a task that queues another cannot
        // keep the loop from its timers and observers.
        while (!batch.empty() && !stopRequested) {
            Task task = std::move(batch.front());
            batch.pop_front();
            detail::runGuarded(task);
        }
        if (!batch.empty()) {
            std::lock_guard lk(m);
            tasks.insert(tasks.begin(), std::make_move_iterator(batch.begin()),
                         std::make_move_iterator(batch.end()));
        }
    }

    // Waits for work or the next timer, with the before/after waiting activities around the wait.
    // Returns without waiting when work is already there.
    void waitForWork() {
        SteadyClock::time_point until = SteadyClock::time_point::max();
        {
            std::lock_guard lk(m);
            signalled = false;
            if (!tasks.empty() || stopRequested) return;
            for (const auto& t : timers) {
                if (!t->cancelled_) until = std::min(until, t->next_);
            }
            if (until <= SteadyClock::now()) return;
        }
        notify(kRunLoopBeforeWaiting);
        {
            std::unique_lock lk(m);
            auto woken = [&] { return signalled || stopRequested; };
            if (until == SteadyClock::time_point::max()) {
                cv.wait(lk, woken);
            } else {
                cv.wait_until(lk, until, woken);
            }
        }
        notify(kRunLoopAfterWaiting);
    }
};

void RunLoopTimer::cancel() {
    if (cancelled_.exchange(true)) return;
    if (auto loop = loop_.lock()) loop->signal();
}

class MainQueue final : public WorkQueue, public std::enable_shared_from_this<MainQueue> {
  public:
    explicit MainQueue(std::shared_ptr<LoopCore> core) : core_(std::move(core)) {}

    const std::string& label() const override { return core_->label; }
    QueueAttr attr() const override { return QueueAttr::Serial; }

    void dispatch(Task task) override {
        {
            std::lock_guard lk(core_->m);
            core_->tasks.push_back(std::move(task));
            core_->signalled = true;
        }
        core_->cv.notify_all();
    }

    void dispatchSync(Task task) override { detail::dispatchAndWait(*this, std::move(task)); }

    void dispatchAfter(std::chrono::nanoseconds delay, Task task) override {
        detail::dispatchAfterDelay(shared_from_this(), delay, std::move(task));
    }

    bool isCurrent() const override { return detail::current().id == core_.get(); }

  private:
    std::shared_ptr<LoopCore> core_;
};

}  // namespace

struct MainLoop::Impl {
    std::shared_ptr<LoopCore> core = std::make_shared<LoopCore>();
    std::shared_ptr<MainQueue> queue = std::make_shared<MainQueue>(core);
};

MainLoop::MainLoop() : impl_(std::make_unique<Impl>()) {}
MainLoop::~MainLoop() = default;

MainLoop& MainLoop::shared() {
    // Never destroyed: other threads may still dispatch to the main queue while the process exits.
    static auto* loop = new MainLoop;
    return *loop;
}

void MainLoop::run() {
    LoopCore& core = *impl_->core;
    {
        std::lock_guard lk(core.m);
        if (core.running) return;
        core.running = true;
        core.stopRequested = false;
    }
    {
        // The loop's thread is the main queue for as long as the loop runs.
        detail::ScopedCurrent current(&core, &core.label);
        core.notify(kRunLoopEntry);
        while (!core.stopRequested) {
            core.notify(kRunLoopBeforeTimers);
            core.fireDueTimers();
            if (core.stopRequested) break;
            core.notify(kRunLoopBeforeSources);
            core.runTasks();
            if (core.stopRequested) break;
            core.waitForWork();
        }
        core.notify(kRunLoopExit);
    }
    std::lock_guard lk(core.m);
    core.running = false;
    core.stopRequested = false;
}

void MainLoop::stop() {
    LoopCore& core = *impl_->core;
    {
        std::lock_guard lk(core.m);
        if (!core.running) return;
        core.stopRequested = true;
        core.signalled = true;
    }
    core.cv.notify_all();
}

bool MainLoop::isRunning() const {
    std::lock_guard lk(impl_->core->m);
    return impl_->core->running;
}

MainLoop::ObserverId MainLoop::addObserver(uint32_t activities, Observer observer) {
    LoopCore& core = *impl_->core;
    auto entry = std::make_shared<ObserverEntry>();
    entry->activities = activities;
    entry->observer = std::move(observer);
    std::lock_guard lk(core.m);
    entry->id = core.nextObserverId++;
    auto list = std::make_shared<ObserverList>(*core.observers);
    list->push_back(std::move(entry));
    core.observers = std::move(list);
    return core.nextObserverId - 1;
}

void MainLoop::removeObserver(ObserverId id) {
    LoopCore& core = *impl_->core;
    std::lock_guard lk(core.m);
    auto list = std::make_shared<ObserverList>(*core.observers);
    std::erase_if(*list, [id](const auto& entry) {
        if (entry->id != id) return false;
        entry->active = false;
        return true;
    });
    core.observers = std::move(list);
}

std::shared_ptr<TimerSource> MainLoop::addTimer(std::chrono::nanoseconds start,
                                                std::chrono::nanoseconds interval, Task callout) {
    auto& core = impl_->core;
    auto timer =
        std::make_shared<RunLoopTimer>(core, SteadyClock::now() + start, interval, std::move(callout));
    {
        std::lock_guard lk(core->m);
        core->timers.push_back(timer);
        core->signalled = true;
    }
    core->cv.notify_all();
    return timer;
}

std::shared_ptr<WorkQueue> MainLoop::queue() {
    return impl_->queue;
}

}  // namespace dispatch
