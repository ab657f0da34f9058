// The process's main run loop: runs the main queue's tasks and run-loop timers on the thread
// that calls run(), and calls observers at each activity, notably just before it waits.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "WorkQueue.h"

namespace dispatch {

enum RunLoopActivity : uint32_t {
    kRunLoopEntry = 1u << 0,
    kRunLoopBeforeTimers = 1u << 1,
    kRunLoopBeforeSources = 1u << 2,
    kRunLoopBeforeWaiting = 1u << 5,
    kRunLoopAfterWaiting = 1u << 6,
    kRunLoopExit = 1u << 7,
    kRunLoopAllActivities = 0x0FFFFFFFu,
};

// Binds the main queue to a foreign event loop (a GUI toolkit's), which then runs main-queue tasks
// and run-loop timers on its own thread through MainLoop::drain() instead of MainLoop::run().
class MainQueueDriver {
  public:
    virtual ~MainQueueDriver() = default;
    // There is new work, or the run-loop timers changed: the foreign loop should call drain() on
    // its thread soon. Called from any thread, outside the loop's locks; it must not block, nor
    // run the work itself.
    virtual void wakeUp() = 0;
};

class MainLoop {
  public:
    using Observer = std::function<void(RunLoopActivity)>;
    using ObserverId = uint64_t;

    static MainLoop& shared();

    // Runs until stop(). Each turn: entry (once), before timers, before sources, run what is
    // due, before waiting, wait for work or the next timer, after waiting. Before/after waiting
    // are skipped when work is already there. While it runs, the calling thread is the main queue.
    void run();
    // Ends a running loop after the current callout; any thread. Does nothing when not running.
    void stop();
    bool isRunning() const;

    // Observers are called on the loop's thread for each activity in their mask.
    ObserverId addObserver(uint32_t activities, Observer observer);
    void removeObserver(ObserverId id);

    // A repeating run-loop timer: first fire after `start`, then every `interval` (zero: once).
    // The loop keeps it until cancel(); dropping the returned reference does not remove it.
    // Added while a ManualTime lives, it runs on its timeline and each call comes as a main-queue
    // task.
    std::shared_ptr<TimerSource> addTimer(std::chrono::nanoseconds start, std::chrono::nanoseconds interval,
                                          Task callout);

    // The main queue's backend; WorkQueue::main() dispatches here.
    std::shared_ptr<WorkQueue> queue();

    // Binds the main queue to a foreign loop's driver, on that loop's thread: from then on that
    // thread is the main queue, the driver is woken for work, and run() returns at once. Work
    // already queued wakes the driver at once. Null unbinds. False (and nothing done) while run()
    // runs.
    bool setDriver(std::shared_ptr<MainQueueDriver> driver);
    // On the driver's thread: runs the run-loop timers that are due, then the main-queue tasks
    // queued before the call, with the observers' activities around them as a turn of run() has
    // them (before waiting when nothing is left, after waiting at the next call). Returns when
    // the next run-loop timer is due, or nothing when no timer waits; the foreign loop waits until
    // then or until wakeUp().
    std::optional<std::chrono::steady_clock::time_point> drain();
    // When the next run-loop timer is due (timers on the manual timeline come as tasks instead).
    std::optional<std::chrono::steady_clock::time_point> nextTimerDue() const;

    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;
    ~MainLoop();

  private:
    MainLoop();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace dispatch
