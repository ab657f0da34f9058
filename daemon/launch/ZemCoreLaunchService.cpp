#include "ZemCoreLaunchService.h"

#include <syslog.h>
#include <unistd.h>

#include <chrono>

#include "daemon/link/ZemResponseHandle.h"
#include "platform/paths/Paths.h"
#include "daemon/peers/ClientTesselManager.h"
#include "daemon/policy/ZemSqliteIPCManager.h"
#include "daemon/reply/ZemReplyDispatcher.h"
#include "framework/process/TaskHelper.h"
#include "daemon/scheduler/CommonTimerManager.h"

using calix::TaskHelper;
using zem::ZemResponse;

namespace hollin {

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
    // Every parsed reply of the server link goes to the reply dispatcher.
    ZemResponseHandle::setDispatch(
        [](int32_t, const ZemResponse& response) { ZemReplyDispatcher::sharedInstance().handleResponse(response); });

    dispatch::WorkQueue::global()->dispatch([this] {
        scheduler().startUpgradeAndPolicyTimer();
        launchUpgrade();
    });

    // The policy-database message port is served from this queue: startMsgPort serves on the
    // calling thread until the process ends, and the serial queue has a thread of its own that
    // nothing else uses.
    ipcQueue_ = dispatch::WorkQueue::create("ravaviza_client_ipc_biz", dispatch::QueueAttr::Serial);
    ipcQueue_->dispatch([] {
        static auto* port = new ZemSqliteIPCManager();  // serves for the whole process
        port->startMsgPort();
    });

    // The daemon's messaging-library port; it answers on the library's own thread.
    static std::shared_ptr<ClientTesselManager> tessel = ClientTesselManager::create();
    tessel->config();

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

}  // namespace hollin
