// A small GCD: labelled serial and concurrent queues, the main queue bound to the main loop,
// the global default-priority queue, and timer sources that fire on a queue.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace dispatch {

using Task = std::function<void()>;

enum class QueueAttr { Serial, Concurrent };

class WorkQueue {
public:
    virtual ~WorkQueue() = default;

    // A new queue. A serial queue runs one task at a time, in order, on a thread of its own
    // (started on first use); a concurrent queue runs tasks on a small pool of threads.
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
    // Runs the task and waits for it. Must not be called from the same serial queue.
    virtual void dispatchSync(Task task) = 0;
    virtual void dispatchAfter(std::chrono::nanoseconds delay, Task task) = 0;
    // True when the calling code runs on this queue.
    virtual bool isCurrent() const = 0;
};

// A repeating timer source firing its handler on a queue, like a dispatch timer: first fire
// after `start`, then every `interval`. Created suspended; resume() starts it. cancel() stops it
// for good and waits for nothing; a handler already running finishes.
class TimerSource {
public:
    virtual ~TimerSource() = default;
    static std::shared_ptr<TimerSource> create(std::shared_ptr<WorkQueue> queue, std::chrono::nanoseconds start,
                                               std::chrono::nanoseconds interval, Task handler);
    virtual void resume() = 0;
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
};

}  // namespace dispatch
