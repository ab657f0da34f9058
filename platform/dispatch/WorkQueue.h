// A small GCD: labelled serial and concurrent queues, the main queue bound to the main loop,
// the global default-priority queue, and timer sources that fire on a queue.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "UniqueFunction.h"

namespace dispatch {

// A unit of work. Move-only: it may hold a std::promise or a std::unique_ptr; lambdas and
// std::function convert to it.
using Task = UniqueFunction<void()>;

// Called when an exception escapes work on a queue, the main loop, a run-loop timer or a timer
// source, with the queue's label and the exception's text. The process is then in an unknown
// state: the default handler writes one line to standard error and ends the process with status
// 253, so that the supervisor starts it afresh. A handler that returns lets the queue go on.
using FaultHandler = std::function<void(const std::string& label, const std::string& what)>;
// Sets the process's fault handler; null restores the default. Any thread.
void setFaultHandler(FaultHandler handler);
// The exit status of the default fault handler.
inline constexpr int kFaultExitStatus = 253;

enum class QueueAttr { Serial, Concurrent };

class WorkQueue {
  public:
    virtual ~WorkQueue() = default;

    // A new queue. A serial queue runs one task at a time, in order, on a thread of its own
    // (started on first use, given back after a spell of idleness); a concurrent queue runs tasks
    // on a small pool of threads (at most 4). Tasks queued when the last reference goes still run.
    static std::shared_ptr<WorkQueue> create(const std::string& label, QueueAttr attr = QueueAttr::Serial);
    // The main queue: its tasks run on the thread that runs MainLoop::shared().
    static std::shared_ptr<WorkQueue> main();
    // The global concurrent queue of default priority.
    static std::shared_ptr<WorkQueue> global();
    // The label of the queue running the calling code, or "" outside any queue.
    static std::string currentLabel();

    virtual const std::string& label() const = 0;
    virtual QueueAttr attr() const = 0;
    virtual void dispatch(Task task) = 0;
    // Runs the task and waits for it; an exception it throws reaches the caller. On a concurrent
    // queue the task runs on the calling thread; called from the serial queue's own code, it runs
    // in place (it would otherwise wait for itself).
    virtual void dispatchSync(Task task) = 0;
    // Holds the queue until the task has been dispatched. While a ManualTime lives, the delay
    // runs on its timeline.
    virtual void dispatchAfter(std::chrono::nanoseconds delay, Task task) = 0;
    // True when the calling code runs on this queue.
    virtual bool isCurrent() const = 0;
};

// A repeating timer source firing its handler on a queue, like a dispatch timer: first fire
// after `start`, then every `interval` (zero: once). Created suspended; resume() starts it.
// cancel() stops it for good and waits for nothing; a handler already running finishes, calls
// not yet started are dropped, and the handler is released. Dropping the last reference cancels.
// The handler never runs twice at once; expiries missed meanwhile merge into one later call.
// A null queue means the global queue. Resumed while a ManualTime lives, it runs on its timeline.
// suspend() stops the expiries until the next resume(), which goes on in the same phase: the next
// call comes at the first of start + k * interval still to come, as if the timer had run
// throughout with nothing to do; expiries while suspended are dropped, not merged. A suspended
// timer costs no wake-up.
class TimerSource {
  public:
    virtual ~TimerSource() = default;
    static std::shared_ptr<TimerSource> create(std::shared_ptr<WorkQueue> queue,
                                               std::chrono::nanoseconds start,
                                               std::chrono::nanoseconds interval, Task handler);
    virtual void resume() = 0;
    virtual void suspend() = 0;
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
};

}  // namespace dispatch
