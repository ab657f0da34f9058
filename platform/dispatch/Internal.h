// Pieces shared by the dispatch module's own sources: the queue a thread is serving, guarded task
// execution, and the one timer thread behind dispatchAfter and timer sources. Not for other modules.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "WorkQueue.h"

namespace dispatch::detail {

// The queue whose code the calling thread runs; identity is the queue's shared state.
struct CurrentQueue {
    const void* id = nullptr;
    const std::string* label = nullptr;
};

const CurrentQueue& current();

// Marks the calling thread as serving a queue for the scope's life, then restores what was there
// (dispatchSync on a concurrent queue nests inside another queue's task).
class ScopedCurrent {
  public:
    ScopedCurrent(const void* id, const std::string* label);
    ~ScopedCurrent();
    ScopedCurrent(const ScopedCurrent&) = delete;
    ScopedCurrent& operator=(const ScopedCurrent&) = delete;

  private:
    CurrentQueue saved_;
};

// Runs work so that an exception it throws goes to the fault handler with the current queue's
// label instead of unwinding the queue's thread.
void runGuarded(const Task& task) noexcept;
// Hands an exception that escaped work on the labelled queue to the fault handler.
void reportFault(const std::string& label, const std::string& what) noexcept;

// Manual time (see ManualTime.h). While it is on, new delayed work and timers wait on a manual
// timeline that moves only with ManualTime::advance(). Deadlines are nanoseconds on it.
bool manualTimeActive();
std::chrono::nanoseconds manualNow();
struct ManualToken {
    std::chrono::nanoseconds due{0};
    uint64_t seq = 0;  // 0: nothing scheduled
};
// Queues an expiry action for the manual instant `due`; it runs on the thread that advances time.
// Returns a null token when manual time is off.
ManualToken manualSchedule(std::chrono::nanoseconds due, Task expiry);
// Drops an expiry not yet delivered; the action is destroyed outside the scheduler's lock.
void manualCancel(const ManualToken& token);

// Queues the task with queue.dispatch() and waits for it; an exception the task throws is
// rethrown to the caller, as if it had made the call itself. Called from the queue's own code it
// runs the task in place, since waiting would wait for itself.
void dispatchAndWait(WorkQueue& queue, Task task);

// A queue whose own thread waits for deadlines beside its work, so that an expiry costs one
// wake-up (the queue's thread) instead of two (the timer thread, then the queue's thread).
class DeadlineHost {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~DeadlineHost() = default;
    // Queues `expiry` as a task of the queue once `due` has passed. Returns a token for
    // unschedule(), or 0 when the queue does not take the deadline (it is too far off to keep a
    // thread waiting for it, or the queue is closing): the caller then uses the timer thread.
    virtual uint64_t scheduleAt(TimePoint due, Task expiry) = 0;
    // Drops a deadline not yet due; its task is destroyed outside the queue's lock.
    virtual void unschedule(uint64_t token) = 0;
};

// Dispatches the task to the queue once the delay has passed, holding the queue until then.
void dispatchAfterDelay(std::shared_ptr<WorkQueue> queue, std::chrono::nanoseconds delay, Task task);

// Names the calling thread after a queue label (the kernel keeps 15 characters).
void nameThread(const std::string& label);

// How long a queue's idle thread waits for work before it ends; a later dispatch starts another.
std::chrono::milliseconds idleThreadTimeout();
void setIdleThreadTimeout(std::chrono::milliseconds timeout);

}  // namespace dispatch::detail
