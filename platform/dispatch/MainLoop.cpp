// The main run loop: one thread, a task list, run-loop timers and activity observers.
#include "MainLoop.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Internal.h"

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
// On the manual timeline its expiries come as main-queue tasks instead of through the loop's wait.
class RunLoopTimer final : public TimerSource, public std::enable_shared_from_this<RunLoopTimer> {
  public:
    RunLoopTimer(std::weak_ptr<LoopCore> loop, SteadyClock::time_point first,
                 std::chrono::nanoseconds interval, Task callout, bool manual)
        : loop_(std::move(loop)),
          interval_(interval),
          callout_(std::move(callout)),
          manual_(manual),
          first_(first),
          next_(manual ? SteadyClock::time_point::max() : first) {}

    // A run-loop timer runs from addTimer() on; resume() only ends a suspend.
    void resume() override;
    void suspend() override;
    void cancel() override;
    bool isCancelled() const override { return cancelled_; }

    void call() const { detail::runGuarded(callout_); }

    // Queues the expiry at the manual instant `due`; each expiry arms the next. The first call
    // also fixes the phase.
    void armManual(std::chrono::nanoseconds due);

  private:
    friend struct LoopCore;
    void armManualLocked(std::chrono::nanoseconds due);
    void manualExpiry(std::chrono::nanoseconds due, uint64_t gen);
    // The first expiry of the phase at or after `now`.
    template <typename Point>
    Point nextInPhase(Point first, Point now) const {
        if (now <= first || interval_.count() <= 0) return first;
        auto late = std::chrono::duration_cast<std::chrono::nanoseconds>(now - first);
        auto steps = (late + interval_ - std::chrono::nanoseconds(1)) / interval_;
        using Step = decltype(first - first);
        return first + std::chrono::duration_cast<Step>(interval_ * steps);
    }

    std::weak_ptr<LoopCore> loop_;
    const std::chrono::nanoseconds interval_;
    const Task callout_;
    const bool manual_;
    std::atomic<bool> cancelled_{false};
    const SteadyClock::time_point first_;
    SteadyClock::time_point next_;  // guarded by the loop's mutex; max() while suspended
    bool suspended_ = false;        // guarded by the loop's mutex (real time) or tokenMutex_ (manual)
    // The next expiry not yet delivered when suspended: a resume never goes back before it.
    SteadyClock::time_point resumeFloor_;  // guarded by the loop's mutex
    // A manual expiry's call is queued and has not run: later expiries merge into it.
    std::atomic<bool> callQueued_{false};
    std::mutex tokenMutex_;
    detail::ManualToken token_;               // guarded by tokenMutex_
    std::chrono::nanoseconds manualFirst_{};  // guarded by tokenMutex_
    std::chrono::nanoseconds manualNext_{};   // guarded by tokenMutex_: the next expiry not delivered
    bool manualArmed_ = false;                // guarded by tokenMutex_
    uint64_t generation_ = 0;                 // guarded by tokenMutex_
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
    // A foreign loop that runs the main queue instead of run(), and its thread.
    std::shared_ptr<MainQueueDriver> driver;  // guarded by m
    std::atomic<std::thread::id> driverThread{};
    bool driverWaiting = false;  // driver's thread only

    void signal() {
        std::shared_ptr<MainQueueDriver> d;
        {
            std::lock_guard lk(m);
            signalled = true;
            d = driver;
        }
        cv.notify_all();
        if (d) d->wakeUp();
    }

    void enqueue(Task task) {
        std::shared_ptr<MainQueueDriver> d;
        {
            std::lock_guard lk(m);
            tasks.push_back(std::move(task));
            signalled = true;
            d = driver;
        }
        cv.notify_all();
        if (d) d->wakeUp();
    }

    std::optional<SteadyClock::time_point> nextTimerDue() {
        std::lock_guard lk(m);
        std::optional<SteadyClock::time_point> next;
        for (const auto& t : timers) {
            if (t->cancelled_ || t->next_ == SteadyClock::time_point::max()) continue;
            if (!next || t->next_ < *next) next = t->next_;
        }
        return next;
    }

    bool isMainThread() const {
        return detail::current().id == this || driverThread.load() == std::this_thread::get_id();
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
    if (manual_) {
        detail::ManualToken token;
        {
            std::lock_guard lk(tokenMutex_);
            token = token_;
        }
        detail::manualCancel(token);
    }
    if (auto loop = loop_.lock()) loop->signal();
}

void RunLoopTimer::armManual(std::chrono::nanoseconds due) {
    std::lock_guard lk(tokenMutex_);
    armManualLocked(due);
}

void RunLoopTimer::armManualLocked(std::chrono::nanoseconds due) {
    if (cancelled_ || suspended_) return;
    if (!manualArmed_) {
        manualArmed_ = true;
        manualFirst_ = due;
    }
    manualNext_ = due;
    token_ = detail::manualSchedule(
        due, [self = shared_from_this(), due, gen = generation_] { self->manualExpiry(due, gen); });
}

void RunLoopTimer::manualExpiry(std::chrono::nanoseconds due, uint64_t gen) {
    {
        std::lock_guard lk(tokenMutex_);
        if (cancelled_ || suspended_ || gen != generation_) return;
        manualNext_ = due + interval_;
    }
    auto loop = loop_.lock();
    if (!loop) return;
    if (!callQueued_.exchange(true)) {
        loop->enqueue([self = shared_from_this()] {
            self->callQueued_ = false;
            if (self->cancelled_) return;
            self->call();
            // A timer without an interval is done once it has fired.
            if (self->interval_.count() <= 0) self->cancel();
        });
    }
    if (interval_.count() > 0) {
        std::lock_guard lk(tokenMutex_);
        if (gen == generation_) armManualLocked(due + interval_);
    }
}

void RunLoopTimer::suspend() {
    if (cancelled_) return;
    if (manual_) {
        detail::ManualToken token;
        {
            std::lock_guard lk(tokenMutex_);
            if (suspended_) return;
            suspended_ = true;
            ++generation_;
            token = token_;
            token_ = {};
        }
        detail::manualCancel(token);
        return;
    }
    auto loop = loop_.lock();
    if (!loop) return;
    std::lock_guard lk(loop->m);
    if (suspended_) return;
    suspended_ = true;
    resumeFloor_ = next_;
    next_ = SteadyClock::time_point::max();
}

void RunLoopTimer::resume() {
    if (cancelled_) return;
    if (manual_) {
        std::lock_guard lk(tokenMutex_);
        if (!suspended_) return;
        suspended_ = false;
        ++generation_;
        armManualLocked(std::max(nextInPhase(manualFirst_, detail::manualNow()), manualNext_));
        return;
    }
    auto loop = loop_.lock();
    if (!loop) return;
    {
        std::lock_guard lk(loop->m);
        if (!suspended_) return;
        suspended_ = false;
        next_ = std::max(nextInPhase(first_, SteadyClock::now()), resumeFloor_);
    }
    loop->signal();
}

class MainQueue final : public WorkQueue, public std::enable_shared_from_this<MainQueue> {
  public:
    explicit MainQueue(std::shared_ptr<LoopCore> core) : core_(std::move(core)) {}

    const std::string& label() const override { return core_->label; }
    QueueAttr attr() const override { return QueueAttr::Serial; }

    void dispatch(Task task) override { core_->enqueue(std::move(task)); }

    void dispatchSync(Task task) override { detail::dispatchAndWait(*this, std::move(task)); }

    void dispatchAfter(std::chrono::nanoseconds delay, Task task) override {
        detail::dispatchAfterDelay(shared_from_this(), delay, std::move(task));
    }

    bool isCurrent() const override { return core_->isMainThread(); }

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
        // A bound driver runs the main queue; a second loop would take its work.
        if (core.running || core.driver) return;
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
    const bool manual = detail::manualTimeActive();
    auto timer = std::make_shared<RunLoopTimer>(core, SteadyClock::now() + start, interval,
                                                std::move(callout), manual);
    {
        std::lock_guard lk(core->m);
        core->timers.push_back(timer);
    }
    if (manual) timer->armManual(detail::manualNow() + start);
    core->signal();
    return timer;
}

std::shared_ptr<WorkQueue> MainLoop::queue() {
    return impl_->queue;
}

bool MainLoop::setDriver(std::shared_ptr<MainQueueDriver> driver) {
    LoopCore& core = *impl_->core;
    bool wake = false;
    {
        std::lock_guard lk(core.m);
        if (core.running) return false;
        wake = driver && !core.tasks.empty();
        core.driver = driver;
        core.driverThread = driver ? std::this_thread::get_id() : std::thread::id();
        core.driverWaiting = false;
    }
    // Work queued before the binding is the new driver's to run.
    if (wake) driver->wakeUp();
    return true;
}

std::optional<std::chrono::steady_clock::time_point> MainLoop::drain() {
    LoopCore& core = *impl_->core;
    {
        detail::ScopedCurrent current(&core, &core.label);
        if (core.driverWaiting) {
            core.driverWaiting = false;
            core.notify(kRunLoopAfterWaiting);
        }
        core.notify(kRunLoopBeforeTimers);
        core.fireDueTimers();
        core.notify(kRunLoopBeforeSources);
        core.runTasks();
        bool idle = false;
        {
            std::lock_guard lk(core.m);
            idle = core.tasks.empty();
        }
        // The foreign loop waits next; the daemon's observers do their work before a wait.
        if (idle) {
            core.driverWaiting = true;
            core.notify(kRunLoopBeforeWaiting);
        }
    }
    return core.nextTimerDue();
}

std::optional<std::chrono::steady_clock::time_point> MainLoop::nextTimerDue() const {
    return impl_->core->nextTimerDue();
}

}  // namespace dispatch
