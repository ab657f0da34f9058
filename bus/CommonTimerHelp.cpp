#include "CommonTimerHelp.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "common/logger/LogSink.h"
#include "framework/process/ProcessInfoHelper.h"

using calix::ProcessInfoHelper;
using common::flushProcessLog;
using common::processLog;

CommonTimerHelp::CommonTimerHelp(Hooks hooks) : hooks_(std::move(hooks)) {
    if (!hooks_.memoryMiB) hooks_.memoryMiB = [] { return ProcessInfoHelper::appMemoryUsage(); };
    if (!hooks_.threadCount) hooks_.threadCount = [] { return ProcessInfoHelper::getThreadCount(); };
    if (!hooks_.exit)
        hooks_.exit = [](int status) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            flushProcessLog();
            std::_Exit(status);
        };
}

CommonTimerHelp::~CommonTimerHelp() {
    if (timer_) timer_->cancel();
}

bool CommonTimerHelp::overLimits(double memoryMiB, int32_t threads) {
    return memoryMiB > kMaxMemoryMiB || threads >= kMaxThreads;
}

void CommonTimerHelp::startTimer() {
    if (timer_ && !timer_->isCancelled()) return;
    timerCount_ = 0;
    queue_ = dispatch::WorkQueue::create("com.velmora.Tamber.timer");
    queue_->dispatch([this] {
        if (hooks_.scheduleRequest) hooks_.scheduleRequest();
    });
    timer_ = dispatch::TimerSource::create(queue_, kInterval, kInterval, [this] { tick(); });
    timer_->resume();
}

void CommonTimerHelp::tick() {
    if (hooks_.collectAccessLogs) hooks_.collectAccessLogs();
    ++timerCount_;
    if (timerCount_ % 3 == 0 && hooks_.scheduleRequest) hooks_.scheduleRequest();
    if (hooks_.resendCache) dispatch::WorkQueue::global()->dispatch([f = hooks_.resendCache] { f(); });
    checkProcessMemUsage();
    if (timerCount_ % 12 == 0) timerCount_ = 0;
}

void CommonTimerHelp::checkProcessMemUsage() {
    const double memory = hooks_.memoryMiB();
    const int32_t threads = hooks_.threadCount();
    if (!overLimits(memory, threads)) return;
    char line[160];
    std::snprintf(line, sizeof line,
                  "[CommonTimerManager]physicalMemory more than max_size %f, thread count: %d", memory,
                  threads);
    processLog().writeLog(line);
    hooks_.exit(0);
}
