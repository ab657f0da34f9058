// Serial queues (one thread each, started on demand) and concurrent queues (a small pool).
#include "WorkQueue.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <future>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "Internal.h"
#include "MainLoop.h"

namespace dispatch {
namespace detail {

namespace {
thread_local CurrentQueue tlsCurrent;
std::atomic<int64_t> idleTimeoutMs{30'000};
}  // namespace

const CurrentQueue& current() {
    return tlsCurrent;
}

namespace {
const char* currentLabelText() {
    return tlsCurrent.label ? tlsCurrent.label->c_str() : "";
}
}  // namespace

ScopedCurrent::ScopedCurrent(const void* id, const std::string* label) : saved_(tlsCurrent) {
    tlsCurrent = CurrentQueue{id, label};
}

ScopedCurrent::~ScopedCurrent() {
    tlsCurrent = saved_;
}

namespace {
std::mutex faultMutex;
FaultHandler& faultHandlerSlot() {
    // Never destroyed: a fault may come from a thread still running while the process exits.
    static auto* handler = new FaultHandler;
    return *handler;
}

[[noreturn]] void defaultFault(const std::string& label, const std::string& what) noexcept {
    std::string line = "dispatch: work on \"" + label + "\" threw: " + what + "\n";
    // One write, no buffering: the process ends right after it.
    [[maybe_unused]] auto written = ::write(STDERR_FILENO, line.data(), line.size());
    ::_exit(kFaultExitStatus);
}
}  // namespace

void reportFault(const std::string& label, const std::string& what) noexcept {
    FaultHandler handler;
    {
        std::lock_guard lk(faultMutex);
        handler = faultHandlerSlot();
    }
    if (!handler) defaultFault(label, what);
    try {
        handler(label, what);
    } catch (...) {
        // A handler that cannot report leaves the default's way out.
        defaultFault(label, what);
    }
}

void runGuarded(const Task& task) noexcept {
    try {
        if (task) task();
    } catch (const std::exception& e) {
        reportFault(currentLabelText(), e.what());
    } catch (...) {
        reportFault(currentLabelText(), "an exception of unknown type");
    }
}

void dispatchAndWait(WorkQueue& queue, Task task) {
    if (queue.isCurrent()) {
        if (task) task();
        return;
    }
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    queue.dispatch([done = std::move(done), task = std::move(task)]() mutable {
        try {
            if (task) task();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    finished.get();
}

void nameThread(const std::string& label) {
    std::string name = label.substr(label.size() > 15 ? label.size() - 15 : 0);
    pthread_setname_np(pthread_self(), name.c_str());
}

std::chrono::milliseconds idleThreadTimeout() {
    return std::chrono::milliseconds(idleTimeoutMs.load());
}

void setIdleThreadTimeout(std::chrono::milliseconds timeout) {
    idleTimeoutMs.store(timeout.count());
}

}  // namespace detail

void setFaultHandler(FaultHandler handler) {
    std::lock_guard lk(detail::faultMutex);
    detail::faultHandlerSlot() = std::move(handler);
}

namespace {

using detail::runGuarded;

using SteadyClock = std::chrono::steady_clock;

// State shared by a serial queue and its thread, so that tasks still queued when the last
// reference to the queue goes are run before the thread ends.
struct SerialState {
    explicit SerialState(std::string l) : label(std::move(l)) {}
    std::mutex m;
    std::condition_variable cv;
    std::deque<Task> tasks;
    // Deadlines the queue's thread waits for itself, earliest first; each one's task joins
    // `tasks` once it is due. Keyed by (due, token) so equal deadlines keep their order.
    std::map<std::pair<SteadyClock::time_point, uint64_t>, Task> deadlines;
    uint64_t nextToken = 1;
    // Moves whenever an earlier deadline may have come, so the waiting thread looks again.
    uint64_t deadlineGeneration = 0;
    bool closing = false;
    bool busy = false;
    bool threadRunning = false;
    const std::string label;

    // Moves the deadlines that are due to the end of the task list; the caller holds m.
    bool takeDueDeadlines() {
        if (deadlines.empty()) return false;
        bool moved = false;
        const auto now = SteadyClock::now();
        while (!deadlines.empty() && deadlines.begin()->first.first <= now) {
            auto node = deadlines.extract(deadlines.begin());
            tasks.push_back(std::move(node.mapped()));
            moved = true;
        }
        return moved;
    }
};

void serialWorker(std::shared_ptr<SerialState> st) {
    detail::nameThread(st->label);
    detail::ScopedCurrent cur(st.get(), &st->label);
    std::unique_lock lk(st->m);
    for (;;) {
        if (st->takeDueDeadlines()) continue;
        if (st->tasks.empty()) {
            if (st->closing) break;
            if (!st->deadlines.empty()) {
                // One wait for both: new work or the earliest deadline, whichever comes first.
                const uint64_t seen = st->deadlineGeneration;
                // A copy: the deadline's entry may be dropped while the thread waits.
                const SteadyClock::time_point until = st->deadlines.begin()->first.first;
                st->cv.wait_until(lk, until, [&] {
                    return !st->tasks.empty() || st->closing || st->deadlineGeneration != seen;
                });
                continue;
            }
            // An idle serial queue gives its thread back; the next dispatch starts a new one.
            if (!st->cv.wait_for(lk, detail::idleThreadTimeout(),
                                 [&] { return !st->tasks.empty() || st->closing || !st->deadlines.empty(); })) {
                break;
            }
            continue;
        }
        Task task = std::move(st->tasks.front());
        st->tasks.pop_front();
        st->busy = true;
        lk.unlock();
        runGuarded(task);
        // Destroyed unlocked: the task may hold the last reference to this queue.
        task = nullptr;
        lk.lock();
        st->busy = false;
    }
    st->threadRunning = false;
    // Whatever deadline is left belongs to a closing queue; its tasks are dropped unlocked.
    auto dropped = std::move(st->deadlines);
    st->deadlines.clear();
    lk.unlock();
}

class SerialQueue final : public WorkQueue,
                          public detail::DeadlineHost,
                          public std::enable_shared_from_this<SerialQueue> {
  public:
    explicit SerialQueue(std::string label) : st_(std::make_shared<SerialState>(std::move(label))) {}

    ~SerialQueue() override {
        std::thread thread;
        bool join = false;
        {
            std::lock_guard lk(st_->m);
            st_->closing = true;
            thread = std::move(thread_);
            // Joining waits only for a thread with nothing left to do; one still draining tasks,
            // or the thread running this destructor itself, is let go and ends on its own.
            join = thread.joinable() && thread.get_id() != std::this_thread::get_id() &&
                   (!st_->threadRunning || (!st_->busy && st_->tasks.empty()));
        }
        st_->cv.notify_all();
        if (!thread.joinable()) return;
        if (join) {
            thread.join();
        } else {
            thread.detach();
        }
    }

    const std::string& label() const override { return st_->label; }
    QueueAttr attr() const override { return QueueAttr::Serial; }

    void dispatch(Task task) override {
        std::thread finished;
        {
            std::lock_guard lk(st_->m);
            st_->tasks.push_back(std::move(task));
            finished = ensureThreadLocked();
        }
        st_->cv.notify_one();
        if (finished.joinable()) finished.join();
    }

    void dispatchSync(Task task) override { detail::dispatchAndWait(*this, std::move(task)); }

    void dispatchAfter(std::chrono::nanoseconds delay, Task task) override {
        detail::dispatchAfterDelay(shared_from_this(), delay, std::move(task));
    }

    bool isCurrent() const override { return detail::current().id == st_.get(); }

    uint64_t scheduleAt(TimePoint due, Task expiry) override {
        // A thread waits for the deadline only as long as it would wait idle anyway; a longer
        // wait is the timer thread's, so a far deadline holds no thread.
        if (due - SteadyClock::now() > detail::idleThreadTimeout()) return 0;
        std::thread finished;
        uint64_t token = 0;
        {
            std::lock_guard lk(st_->m);
            if (st_->closing) return 0;
            token = st_->nextToken++;
            st_->deadlines.emplace(std::make_pair(due, token), std::move(expiry));
            ++st_->deadlineGeneration;
            finished = ensureThreadLocked();
            if (!st_->threadRunning) {
                st_->deadlines.erase(std::make_pair(due, token));
                token = 0;
            }
        }
        // The queue's own thread needs no wake-up: it looks at the deadlines before it waits.
        if (!isCurrent()) st_->cv.notify_one();
        if (finished.joinable()) finished.join();
        return token;
    }

    void unschedule(uint64_t token) override {
        Task dropped;
        {
            std::lock_guard lk(st_->m);
            for (auto it = st_->deadlines.begin(); it != st_->deadlines.end(); ++it) {
                if (it->first.second != token) continue;
                dropped = std::move(it->second);
                st_->deadlines.erase(it);
                break;
            }
        }
        // The waiting thread wakes at the dropped deadline, finds nothing due and waits again:
        // cheaper than waking it now.
    }

  private:
    // Starts the queue's thread when none runs; returns a thread that ended when idle, for the
    // caller to join outside the lock. The caller holds st_->m.
    std::thread ensureThreadLocked() {
        std::thread finished;
        if (st_->threadRunning) return finished;
        // A thread that ended when idle has left its loop; joining it is immediate.
        finished = std::move(thread_);
        try {
            thread_ = std::thread(serialWorker, st_);
            st_->threadRunning = true;
        } catch (const std::system_error& e) {
            std::fprintf(stderr, "dispatch: cannot start a thread for \"%s\": %s\n", st_->label.c_str(),
                         e.what());
        }
        return finished;
    }

    std::shared_ptr<SerialState> st_;
    std::thread thread_;  // guarded by st_->m
};

constexpr int kMaxPoolThreads = 4;

struct PoolState {
    PoolState(std::string l, int max) : label(std::move(l)), maxThreads(max) {}
    std::mutex m;
    std::condition_variable cv;
    std::deque<Task> tasks;
    int threads = 0;
    int idle = 0;
    bool closing = false;
    const std::string label;
    const int maxThreads;
};

// Pool threads are detached: each holds the pool state and ends after a spell of idleness or
// once the queue is gone and drained, so nobody ever has to wait for one.
void poolWorker(std::shared_ptr<PoolState> st) {
    detail::nameThread(st->label);
    detail::ScopedCurrent cur(st.get(), &st->label);
    std::unique_lock lk(st->m);
    for (;;) {
        if (st->tasks.empty()) {
            if (st->closing) break;
            ++st->idle;
            bool woken = st->cv.wait_for(lk, detail::idleThreadTimeout(),
                                         [&] { return !st->tasks.empty() || st->closing; });
            --st->idle;
            if (!woken) break;
            continue;
        }
        Task task = std::move(st->tasks.front());
        st->tasks.pop_front();
        lk.unlock();
        runGuarded(task);
        task = nullptr;
        lk.lock();
    }
    --st->threads;
}

class ConcurrentQueue final : public WorkQueue, public std::enable_shared_from_this<ConcurrentQueue> {
  public:
    ConcurrentQueue(std::string label, int maxThreads)
        : st_(std::make_shared<PoolState>(std::move(label), maxThreads)) {}

    ~ConcurrentQueue() override {
        {
            std::lock_guard lk(st_->m);
            st_->closing = true;
        }
        st_->cv.notify_all();
    }

    const std::string& label() const override { return st_->label; }
    QueueAttr attr() const override { return QueueAttr::Concurrent; }

    void dispatch(Task task) override {
        {
            std::lock_guard lk(st_->m);
            st_->tasks.push_back(std::move(task));
            // A new thread only when the waiting ones cannot take every queued task.
            if (static_cast<size_t>(st_->idle) < st_->tasks.size() && st_->threads < st_->maxThreads) {
                try {
                    std::thread(poolWorker, st_).detach();
                    ++st_->threads;
                } catch (const std::system_error& e) {
                    std::fprintf(stderr, "dispatch: cannot start a thread for \"%s\": %s\n",
                                 st_->label.c_str(), e.what());
                }
            }
        }
        st_->cv.notify_one();
    }

    // As in GCD, a synchronous task on a concurrent queue runs on the calling thread: it needs no
    // pool thread, so callers inside the pool cannot starve it.
    void dispatchSync(Task task) override {
        detail::ScopedCurrent cur(st_.get(), &st_->label);
        task();
    }

    void dispatchAfter(std::chrono::nanoseconds delay, Task task) override {
        detail::dispatchAfterDelay(shared_from_this(), delay, std::move(task));
    }

    bool isCurrent() const override { return detail::current().id == st_.get(); }

  private:
    std::shared_ptr<PoolState> st_;
};

}  // namespace

std::shared_ptr<WorkQueue> WorkQueue::create(const std::string& label, QueueAttr attr) {
    if (attr == QueueAttr::Concurrent) return std::make_shared<ConcurrentQueue>(label, kMaxPoolThreads);
    return std::make_shared<SerialQueue>(label);
}

std::shared_ptr<WorkQueue> WorkQueue::main() {
    return MainLoop::shared().queue();
}

std::shared_ptr<WorkQueue> WorkQueue::global() {
    // Never destroyed: pool threads may still run when static objects are torn down at exit.
    static auto* queue = new std::shared_ptr<WorkQueue>(create("global.default", QueueAttr::Concurrent));
    return *queue;
}

std::string WorkQueue::currentLabel() {
    const auto& cur = detail::current();
    return cur.label ? *cur.label : std::string();
}

}  // namespace dispatch
