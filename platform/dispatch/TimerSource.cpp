// Delayed dispatch and timer sources. One process-wide thread waits on every deadline with
// Asio steady timers and hands each expiry to its queue, so an idle timer holds no thread.
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
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
    bool inFlight = false;                    // guarded by m
    bool missed = false;                      // guarded by m
    std::optional<asio::steady_timer> timer;  // timer thread only
    SteadyClock::time_point deadline;         // timer thread only
    // Armed on the manual timeline instead (set once by resume()).
    std::atomic<bool> manual{false};
    detail::ManualToken manualToken;  // guarded by m

    // Queues the expiry at the manual instant `due`; each expiry arms the next.
    void armManual(std::chrono::nanoseconds due) {
        std::lock_guard lk(m);
        if (cancelled) return;
        manualToken = detail::manualSchedule(due, [self = shared_from_this(), due] {
            if (self->cancelled) return;
            self->fire();
            if (self->interval.count() > 0) self->armManual(due + self->interval);
        });
    }

    void arm() {
        timer->expires_at(deadline);
        timer->async_wait([self = shared_from_this()](const asio::error_code& ec) {
            if (ec || self->cancelled) return;
            self->fire();
            if (self->interval.count() <= 0) return;
            // Keep the phase; deadlines already missed are skipped, not replayed in a burst.
            self->deadline += self->interval;
            auto now = SteadyClock::now();
            if (self->deadline <= now) {
                auto behind = (now - self->deadline) / self->interval + 1;
                self->deadline += self->interval * behind;
            }
            self->arm();
        });
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
        {
            std::lock_guard lk(m);
            token = manualToken;
        }
        if (manual) {
            detail::manualCancel(token);
        } else if (resumed) {
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

    void resume() override {
        if (core_->cancelled || core_->resumed.exchange(true)) return;
        if (detail::manualTimeActive()) {
            core_->manual = true;
            core_->armManual(detail::manualNow() + core_->start);
            return;
        }
        auto first = SteadyClock::now() + core_->start;
        TimerService::instance().post([core = core_, first] {
            if (core->cancelled) return;
            core->timer.emplace(TimerService::instance().context());
            core->deadline = first;
            core->arm();
        });
    }

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
