// Delayed dispatch and timer sources. A serial queue's own thread waits for the deadlines it
// serves that fall within its idle spell, so an expiry costs one wake-up; every other deadline
// waits on one process-wide thread with Asio steady timers, which hands the expiry to its queue.
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

#include "Internal.h"
#include "WorkQueue.h"

namespace dispatch {
namespace {

using SteadyClock = std::chrono::steady_clock;

class TimerService {
  public:
    static TimerService& instance() {
        // Never destroyed: timers may still be armed while static objects are torn down at exit.
        static auto* service = new TimerService;
        return *service;
    }

    asio::io_context& context() { return ioc_; }

    // Runs fn on the timer thread; every timer object is touched only there.
    template <typename Fn>
    void post(Fn&& fn) {
        std::call_once(started_, [this] {
            thread_ = std::thread([this] {
                detail::nameThread("dispatch.timers");
                for (;;) {
                    try {
                        ioc_.run();
                        return;
                    } catch (const std::exception& e) {
                        detail::reportFault("dispatch.timers", e.what());
                    }
                }
            });
        });
        asio::post(ioc_, std::forward<Fn>(fn));
    }

  private:
    TimerService() : guard_(asio::make_work_guard(ioc_)) {}
    asio::io_context ioc_{1};
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::once_flag started_;
    std::thread thread_;
};

// What an armed timer source shares with the timer thread and the queued handler calls. The
// queue and the handler are dropped on cancel, which breaks any cycle through the handler.
struct TimerCore : std::enable_shared_from_this<TimerCore> {
    TimerCore(std::shared_ptr<WorkQueue> q, std::chrono::nanoseconds s, std::chrono::nanoseconds i, Task h)
        : start(s), interval(i), queue(std::move(q)), handler(std::make_shared<const Task>(std::move(h))) {}

    const std::chrono::nanoseconds start;
    const std::chrono::nanoseconds interval;
    std::atomic<bool> resumed{false};
    std::atomic<bool> cancelled{false};

    std::mutex m;
    std::shared_ptr<WorkQueue> queue;     // guarded by m
    std::shared_ptr<const Task> handler;  // guarded by m
    // A handler call is queued or running; expiries meanwhile merge into one more call after it.
    bool inFlight = false;  // guarded by m
    bool missed = false;    // guarded by m
    // The first deadline: every later one is a whole number of intervals after it.
    SteadyClock::time_point origin;           // guarded by m
    std::chrono::nanoseconds manualOrigin{};  // guarded by m
    // The next deadline not yet delivered; a resume never goes back before it.
    SteadyClock::time_point deadline;            // guarded by m
    std::chrono::nanoseconds manualDeadline{};  // guarded by m
    bool suspended = false;                   // guarded by m
    bool expiredOnce = false;                 // guarded by m
    // Moves with each suspend and resume: an expiry armed before it is stale and does nothing.
    uint64_t generation = 0;                  // guarded by m
    uint64_t hostToken = 0;                   // guarded by m: the deadline the queue waits for
    std::optional<asio::steady_timer> timer;  // timer thread only
    // Some deadline went to the timer thread, which then holds an Asio timer to cancel.
    std::atomic<bool> onTimerThread{false};
    // Armed on the manual timeline instead (set once by resume()).
    std::atomic<bool> manual{false};
    detail::ManualToken manualToken;  // guarded by m

    // True when an expiry armed in generation `gen` may still act; the caller holds m.
    bool current(uint64_t gen) const { return !cancelled && !suspended && gen == generation; }

    // Queues the expiry at the manual instant `due`; each expiry arms the next.
    void armManual(std::chrono::nanoseconds due, uint64_t gen) {
        std::lock_guard lk(m);
        if (!current(gen)) return;
        manualDeadline = due;
        manualToken = detail::manualSchedule(due, [self = shared_from_this(), due, gen] {
            {
                std::lock_guard lk(self->m);
                if (!self->current(gen)) return;
                self->expiredOnce = true;
                self->manualDeadline = due + self->interval;
            }
            self->fire();
            if (self->interval.count() > 0) self->armManual(due + self->interval, gen);
        });
    }

    // Waits for `due`: on the target queue's own thread where the queue takes it, else on the
    // timer thread. Either way one expiry at a time is pending.
    void armAt(SteadyClock::time_point due, uint64_t gen) {
        std::shared_ptr<WorkQueue> q;
        {
            std::lock_guard lk(m);
            if (!current(gen)) return;
            deadline = due;
            q = queue;
        }
        if (auto* host = dynamic_cast<detail::DeadlineHost*>(q.get())) {
            std::lock_guard lk(m);
            // Checked again under the lock cancel() and suspend() take the token with.
            if (!current(gen)) return;
            hostToken = host->scheduleAt(due, [self = shared_from_this(), gen] { self->expired(gen); });
            if (hostToken != 0) return;
        }
        onTimerThread = true;
        TimerService::instance().post([self = shared_from_this(), due, gen] {
            if (self->cancelled) return;
            if (!self->timer) self->timer.emplace(TimerService::instance().context());
            // Setting the expiry ends a wait still pending from before a suspend.
            self->timer->expires_at(due);
            self->timer->async_wait([self, gen](const asio::error_code& ec) {
                if (!ec) self->expired(gen);
            });
        });
    }

    void expired(uint64_t gen) {
        SteadyClock::time_point next;
        {
            std::lock_guard lk(m);
            if (!current(gen)) return;
            expiredOnce = true;
            next = deadline + interval;
            deadline = next;
        }
        fire();
        if (interval.count() <= 0) return;
        // Keep the phase; deadlines already missed are skipped, not replayed in a burst.
        auto now = SteadyClock::now();
        if (next <= now) {
            auto behind = (now - next) / interval + 1;
            next += interval * behind;
        }
        armAt(next, gen);
    }

    // The first deadline of the phase at or after `now`.
    template <typename Point, typename Duration>
    Point nextInPhase(Point first, Point now) const {
        if (now <= first || interval.count() <= 0) return first;
        Duration late = now - first;
        auto steps = (late + interval - Duration(1)) / interval;
        return first + interval * steps;
    }

    void resume() {
        if (cancelled) return;
        if (!resumed.exchange(true)) {
            if (detail::manualTimeActive()) {
                manual = true;
                auto first = detail::manualNow() + start;
                {
                    std::lock_guard lk(m);
                    manualOrigin = first;
                }
                armManual(first, 0);
                return;
            }
            auto first = SteadyClock::now() + start;
            {
                std::lock_guard lk(m);
                origin = first;
            }
            armAt(first, 0);
            return;
        }
        uint64_t gen = 0;
        {
            std::lock_guard lk(m);
            if (!suspended) return;
            suspended = false;
            gen = ++generation;
            // A timer without an interval that has fired is done.
            if (interval.count() <= 0 && expiredOnce) return;
        }
        if (manual) {
            std::chrono::nanoseconds first, floor;
            {
                std::lock_guard lk(m);
                first = manualOrigin;
                floor = manualDeadline;
            }
            auto next = nextInPhase<std::chrono::nanoseconds, std::chrono::nanoseconds>(first, detail::manualNow());
            armManual(std::max(next, floor), gen);
            return;
        }
        SteadyClock::time_point first, floor;
        {
            std::lock_guard lk(m);
            first = origin;
            floor = deadline;
        }
        auto next = nextInPhase<SteadyClock::time_point, SteadyClock::duration>(first, SteadyClock::now());
        armAt(std::max(next, floor), gen);
    }

    void suspend() {
        if (cancelled || !resumed) return;
        detail::ManualToken token;
        uint64_t onQueue = 0;
        std::shared_ptr<WorkQueue> q;
        {
            std::lock_guard lk(m);
            if (suspended) return;
            suspended = true;
            ++generation;
            token = manualToken;
            manualToken = {};
            onQueue = hostToken;
            hostToken = 0;
            q = queue;
        }
        if (manual) {
            detail::manualCancel(token);
            return;
        }
        if (onQueue != 0) {
            if (auto* host = dynamic_cast<detail::DeadlineHost*>(q.get())) host->unschedule(onQueue);
        }
        // A wait left on the timer thread ends as a stale expiry, or with the next arming.
    }

    void fire() {
        {
            std::lock_guard lk(m);
            if (inFlight) {
                missed = true;
                return;
            }
            inFlight = true;
        }
        submit();
    }

    // Called with inFlight set by the caller.
    void submit() {
        std::shared_ptr<WorkQueue> q;
        std::shared_ptr<const Task> h;
        {
            std::lock_guard lk(m);
            q = queue;
            h = handler;
            if (!q || !h) {
                inFlight = false;
                return;
            }
        }
        q->dispatch([self = shared_from_this(), h] {
            if (!self->cancelled) detail::runGuarded(*h);
            bool again = false;
            {
                std::lock_guard lk(self->m);
                again = self->missed && !self->cancelled;
                self->missed = false;
                self->inFlight = again;
            }
            if (again) self->submit();
        });
    }

    void cancel() {
        if (cancelled.exchange(true)) return;
        std::shared_ptr<WorkQueue> q;
        std::shared_ptr<const Task> h;
        {
            std::lock_guard lk(m);
            q = std::move(queue);
            h = std::move(handler);
        }
        detail::ManualToken token;
        uint64_t onQueue = 0;
        {
            std::lock_guard lk(m);
            token = manualToken;
            onQueue = hostToken;
            hostToken = 0;
        }
        if (manual) {
            detail::manualCancel(token);
            return;
        }
        if (onQueue != 0) {
            if (auto* host = dynamic_cast<detail::DeadlineHost*>(q.get())) host->unschedule(onQueue);
        }
        if (onTimerThread) {
            TimerService::instance().post([self = shared_from_this()] {
                if (self->timer) self->timer->cancel();
            });
        }
        // q and h are released here, outside the lock: either may hold the last reference to
        // something whose destructor takes locks of its own.
    }
};

class TimerSourceImpl final : public TimerSource {
  public:
    explicit TimerSourceImpl(std::shared_ptr<TimerCore> core) : core_(std::move(core)) {}
    ~TimerSourceImpl() override { core_->cancel(); }

    void resume() override { core_->resume(); }
    void suspend() override { core_->suspend(); }

    void cancel() override { core_->cancel(); }
    bool isCancelled() const override { return core_->cancelled; }

  private:
    std::shared_ptr<TimerCore> core_;
};

}  // namespace

namespace detail {

void dispatchAfterDelay(std::shared_ptr<WorkQueue> queue, std::chrono::nanoseconds delay, Task task) {
    if (delay.count() <= 0) {
        queue->dispatch(std::move(task));
        return;
    }
    if (manualTimeActive()) {
        manualSchedule(manualNow() + delay, [queue = std::move(queue), task = std::move(task)]() mutable {
            queue->dispatch(std::move(task));
        });
        return;
    }
    auto deadline = SteadyClock::now() + delay;
    if (auto* host = dynamic_cast<DeadlineHost*>(queue.get())) {
        // The queue's task holds the queue until the deadline, as the timer thread's would.
        auto shared = std::make_shared<Task>(std::move(task));
        if (host->scheduleAt(deadline, [queue, shared] {
                (void)queue;
                (*shared)();
            }) != 0) {
            return;
        }
        task = std::move(*shared);
    }
    TimerService::instance().post([queue = std::move(queue), deadline, task = std::move(task)]() mutable {
        auto timer = std::make_shared<asio::steady_timer>(TimerService::instance().context(), deadline);
        timer->async_wait(
            [timer, queue = std::move(queue), task = std::move(task)](const asio::error_code& ec) mutable {
                if (!ec) queue->dispatch(std::move(task));
            });
    });
}

}  // namespace detail

std::shared_ptr<TimerSource> TimerSource::create(std::shared_ptr<WorkQueue> queue,
                                                 std::chrono::nanoseconds start,
                                                 std::chrono::nanoseconds interval, Task handler) {
    // Without a queue the handler goes to the global queue, as a dispatch source does.
    if (!queue) queue = WorkQueue::global();
    return std::make_shared<TimerSourceImpl>(
        std::make_shared<TimerCore>(std::move(queue), start, interval, std::move(handler)));
}

}  // namespace dispatch
