#include "launch/ZemCoreLaunchService.h"

#include <syslog.h>
#include <unistd.h>

#include <chrono>

#include "paths/Paths.h"
#include "process/TaskHelper.h"
#include "scheduler/CommonTimerManager.h"

namespace {

const char* activityBanner(uint32_t activity) {
    switch (activity) {
        case dispatch::kRunLoopEntry:
            return " ************* kCFRunLoopEntry ************* ";
        case dispatch::kRunLoopBeforeTimers:
            return " ************* kCFRunLoopBeforeTimers ************* ";
        case dispatch::kRunLoopBeforeSources:
            return " ************* kCFRunLoopBeforeSources ************* ";
        case dispatch::kRunLoopBeforeWaiting:
            return " ************* kCFRunLoopBeforeWaiting ************* ";
        case dispatch::kRunLoopAfterWaiting:
            return " ************* kCFRunLoopAfterWaiting ************* ";
        case dispatch::kRunLoopExit:
            return " ************* kCFRunLoopExit ************* ";
        default:
            return " ************* kCFRunLoopAllActivities ************* ";
    }
}

}  // namespace

ZemCoreLaunchService::ZemCoreLaunchService(CommonTimerManager* scheduler) : scheduler_(scheduler) {}

ZemCoreLaunchService::~ZemCoreLaunchService() {
    if (runloopObserver_) dispatch::MainLoop::shared().removeObserver(*runloopObserver_);
}

CommonTimerManager& ZemCoreLaunchService::scheduler() {
    return scheduler_ ? *scheduler_ : CommonTimerManager::sharedInstance();
}

void ZemCoreLaunchService::launch() {
    dispatch::WorkQueue::global()->dispatch([this] {
        scheduler().startUpgradeAndPolicyTimer();
        launchUpgrade();
    });

    // The policy-database message port is served from this queue.
    ipcQueue_ = dispatch::WorkQueue::create("ravaviza_client_ipc_biz");

    using namespace std::chrono;
    keepAliveTimer_ = dispatch::MainLoop::shared().addTimer(
        0ns, duration_cast<nanoseconds>(duration<double>(kKeepAliveSeconds)), [] { runLoopTimerCallBack(); });

    createRunloopObserver();
}

void ZemCoreLaunchService::launchUpgrade() {
    const std::string path = paths::upgradeAppExecutable();
    if (::access(path.c_str(), F_OK) == 0) TaskHelper::sharedInstance().startCMDApp(path, {"-upgrade"});
}

void ZemCoreLaunchService::createRunloopObserver() {
    if (runloopObserver_) dispatch::MainLoop::shared().removeObserver(*runloopObserver_);
    runloopObserver_ = dispatch::MainLoop::shared().addObserver(
        dispatch::kRunLoopAllActivities, [this](dispatch::RunLoopActivity a) {
            syslog(LOG_DEBUG, "%s", activityBanner(a));
            if (a == dispatch::kRunLoopBeforeWaiting) scheduler().checkRunloopTimerIsRunning();
        });
}
