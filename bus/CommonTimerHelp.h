// The service's 300 s timer: a tick state machine (schedule request every third tick, access-log
// collection, cache re-send and the memory and thread watchdog every tick) with a thin timer
// driver. Tests call tick() and checkProcessMemUsage() directly.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/dispatch/WorkQueue.h"

class CommonTimerHelp {
  public:
    static constexpr double kMaxMemoryMiB = 100.0;
    static constexpr int32_t kMaxThreads = 50;
    static constexpr std::chrono::seconds kInterval{300};

    struct Hooks {
        std::function<void()> collectAccessLogs;  // every tick, on the timer thread
        std::function<void()> scheduleRequest;    // at start and every third tick
        std::function<void()> resendCache;        // every tick, handed to a global queue
        std::function<double()> memoryMiB;        // resident memory
        std::function<int32_t()> threadCount;     // -1 when unknown
        std::function<void(int status)> exit;     // ends the process
    };
    // Hooks left empty do nothing; memory, threads and exit default to this process's own.
    explicit CommonTimerHelp(Hooks hooks = {});
    ~CommonTimerHelp();

    // True when the figures are over the limits: memory above 100.0 MiB or 50 threads or more.
    static bool overLimits(double memoryMiB, int32_t threads);

    // Requests the schedule at once and starts the repeating timer on a queue of its own.
    void startTimer();
    // One tick of the timer, in its order.
    void tick();
    // Logs, pauses 1 s and exits with status 0 when over the limits.
    void checkProcessMemUsage();

    int32_t timerCount() const { return timerCount_; }
    // The timer's queue once started (ticks run there).
    const std::shared_ptr<dispatch::WorkQueue>& queue() const { return queue_; }

  private:
    Hooks hooks_;
    int32_t timerCount_ = 0;
    std::shared_ptr<dispatch::WorkQueue> queue_;
    std::shared_ptr<dispatch::TimerSource> timer_;
};
