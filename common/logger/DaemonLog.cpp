#include "DaemonLog.h"

#include <atomic>

#include "RotatingLogger.h"

namespace common {

namespace {

std::atomic<bool> supervision{false};

}  // namespace

LogSink& daemonLog() {
    if (supervision.load(std::memory_order_acquire)) return LogExtCoreHelper::sharedInstance();
    return LogCoreHelper::sharedInstance();
}

void useSupervisionLog() {
    supervision.store(true, std::memory_order_release);
}

}  // namespace common
