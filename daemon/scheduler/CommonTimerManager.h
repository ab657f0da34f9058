// The daemon's scheduler: a one-second tick on a serial queue, and the watchdog that restarts
// the tick when no periodic task has been dispatched for more than 600 s.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "dispatch/Clock.h"
#include "dispatch/WorkQueue.h"

class CommonTimerManager {
public:
    static constexpr double kStallSeconds = 600.0;

    static CommonTimerManager& sharedInstance();
    explicit CommonTimerManager(const dispatch::Clock& clock = dispatch::Clock::system());
    ~CommonTimerManager();

    // Start of the -run job's periodic work.
    void startUpgradeAndPolicyTimer();
    // A new one-second timer source on the timer queue, first tick at once.
    void createCommonTimer();
    // One tick of the wheel.
    void startRunloopTimer();
    // Watchdog: restarts the tick when nothing was dispatched for more than 600 s.
    void checkRunloopTimerIsRunning();
    void restartCommonTimer();

    double lastRunloopTime() const { return lastRunloopTime_.load(); }
    void setLastRunloopTime(double t) { lastRunloopTime_.store(t); }
    // How many timer sources were created so far (the first one plus each restart).
    int timerGeneration() const;
    bool hasLiveTimer() const;

private:
    const dispatch::Clock& clock_;
    std::atomic<double> lastRunloopTime_;
    mutable std::mutex timerMutex_;
    std::shared_ptr<dispatch::WorkQueue> timerQueue_;
    std::shared_ptr<dispatch::TimerSource> GDTimer_;
    int timerGeneration_ = 0;
};
