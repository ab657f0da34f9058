#include "scheduler/CommonTimerManager.h"

#include <chrono>

#include "logger/RotatingLogger.h"

using namespace std::chrono_literals;

CommonTimerManager& CommonTimerManager::sharedInstance() {
    static CommonTimerManager* instance = new CommonTimerManager();  // lives for the whole process
    return *instance;
}

CommonTimerManager::CommonTimerManager(const dispatch::Clock& clock)
    : clock_(clock), lastRunloopTime_(clock.now()) {}

CommonTimerManager::~CommonTimerManager() {
    std::lock_guard lock(timerMutex_);
    if (GDTimer_) GDTimer_->cancel();
}

void CommonTimerManager::startUpgradeAndPolicyTimer() { createCommonTimer(); }

void CommonTimerManager::createCommonTimer() {
    std::lock_guard lock(timerMutex_);
    if (!timerQueue_) {
        timerQueue_ = dispatch::WorkQueue::create("com.velmora.ravaviza.clientcommon.timerQueue");
    }
    // A restart may race another restart: only one source may stay live.
    if (GDTimer_) GDTimer_->cancel();
    GDTimer_ = dispatch::TimerSource::create(timerQueue_, 0ns, 1s, [this] { startRunloopTimer(); });
    GDTimer_->resume();
    ++timerGeneration_;
}

void CommonTimerManager::startRunloopTimer() {}

void CommonTimerManager::checkRunloopTimerIsRunning() {
    if (clock_.now() - lastRunloopTime_.load() > kStallSeconds) restartCommonTimer();
}

void CommonTimerManager::restartCommonTimer() {
    lastRunloopTime_.store(clock_.now());
    {
        std::lock_guard lock(timerMutex_);
        if (GDTimer_) {
            GDTimer_->cancel();
            GDTimer_.reset();
        }
    }
    LogCoreHelper::sharedInstance().writeLog("cancel CommonTimer success ...", 1);
    createCommonTimer();
}

int CommonTimerManager::timerGeneration() const {
    std::lock_guard lock(timerMutex_);
    return timerGeneration_;
}

bool CommonTimerManager::hasLiveTimer() const {
    std::lock_guard lock(timerMutex_);
    return GDTimer_ && !GDTimer_->isCancelled();
}
