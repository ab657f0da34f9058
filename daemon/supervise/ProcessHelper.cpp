#include "ProcessHelper.h"

#include "common/logger/DaemonLog.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "common/device/ITDevice.h"
#include "platform/dispatch/MainLoop.h"
#include "common/logger/RotatingLogger.h"
#include "platform/paths/Paths.h"
#include "framework/process/FileManager.h"
#include "framework/process/ProcessInfoHelper.h"
#include "framework/process/TaskHelper.h"
#include "daemon/protect/ZemProtectContext.h"
#include "daemon/protect/ZemProtectCore.h"
#include "LaunchJobs.h"
#include "platform/process/ProcessList.h"
#include "ProcessUtil.h"
#include "ZemProtectIPCManager.h"
#include "platform/sysinfo/ConsoleUser.h"

using calix::FileManager;
using calix::ProcessInfoHelper;
using calix::TaskHelper;
using common::ITDevice;
using common::LogCoreHelper;

namespace hollin {

namespace {

void log(const std::string& line) {
    common::daemonLog().writeLog(line, 1);
}

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

std::string watermarkExecutable() {
    return paths::watermarkAppExecutable();
}

std::string watermarkSwitch() {
    return paths::machineSupportFolder() + "/watermark.archive";
}

std::string vpnAgentExecutable() {
    return paths::vpnAgentExecutable();
}

std::string joined(const std::vector<pid_t>& pids) {
    std::string out;
    for (pid_t p : pids) {
        if (!out.empty()) out += ' ';
        out += std::to_string(p);
    }
    return out;
}

// A console user name that names a signed-in person: not the placeholder of "nobody there".
bool isSignedInName(const std::string& name) {
    return !name.empty() && name != "unknown";
}

}  // namespace

ProcessHelper::ProcessHelper() : ProcessHelper(Environment{}) {}

ProcessHelper::ProcessHelper(Environment env) : env_(std::move(env)) {
    netQueue_ = dispatch::WorkQueue::create("com.velmora.netlocation.request");
    checkQueue_ = dispatch::WorkQueue::create("com.velmora.ravaviza.check.heartbeat");
    timerQueue_ = dispatch::WorkQueue::create("com.velmora.ravaviza.protect.timer");
    if (env_.createProtectCore) protectCore_ = std::make_shared<ZemProtectCore>();
}

ProcessHelper::~ProcessHelper() {
    lifetime_.reset();
    if (startThread_.joinable()) startThread_.join();
    {
        std::lock_guard lock(timerMutex_);
        if (GDTimer_) GDTimer_->cancel();
    }
    for (auto id : observers_) dispatch::NotificationCenter::defaultCenter().removeObserver(id);
    // Work already on the queues finishes before the members it uses go.
    timerQueue_->dispatchSync([] {});
    checkQueue_->dispatchSync([] {});
    netQueue_->dispatchSync([] {});
}

bool ProcessHelper::hasProtectCore() const {
    std::lock_guard lock(coreMutex_);
    return protectCore_ != nullptr;
}

void ProcessHelper::makeProtectCoreIfMissing() {
    std::lock_guard lock(coreMutex_);
    if (!protectCore_) protectCore_ = std::make_shared<ZemProtectCore>();
}

void ProcessHelper::addNotifications() {
    if (isAddNotice_.exchange(true)) return;
    auto& center = dispatch::NotificationCenter::defaultCenter();
    auto main = dispatch::WorkQueue::main();
    std::weak_ptr<int> alive = lifetime_;
    observers_.push_back(center.addObserver(protectchannel::kNetworkTypeNotification, main,
                                            [this, alive](const dispatch::Notification& n) {
                                                if (alive.lock()) getNetworkTypeFinish(n);
                                            }));
    observers_.push_back(center.addObserver(protectchannel::kNetworkLocationNotification, main,
                                            [this, alive](const dispatch::Notification& n) {
                                                if (alive.lock()) getNetworkLocationFinish(n);
                                            }));
}

void ProcessHelper::getNetworkTypeFinish(const dispatch::Notification&) {
    if (!env_.createProtectCore) return;
    std::weak_ptr<int> alive = lifetime_;
    netQueue_->dispatch([this, alive] {
        if (alive.lock()) makeProtectCoreIfMissing();
    });
}

void ProcessHelper::getNetworkLocationFinish(const dispatch::Notification&) {
    isNetLocReqFinish_.store(true);
}

void ProcessHelper::startProtectHeartBeatTimer() {
    addNotifications();
    if (startThread_.joinable()) return;
    startThread_ = std::thread([this] { startUp(); });
}

void ProcessHelper::startUp() {
    const std::string policyRoot = FileManager::sharedInstance().createAppPolicyRootDirectory();
    for (const char* name : {"policy_ids.data", "policy_ext.archive"}) {
        std::error_code ec;
        std::filesystem::remove(policyRoot + "/" + name, ec);
    }
    if (env_.startFileMonitor) env_.startFileMonitor(*this);
    std::weak_ptr<int> alive = lifetime_;
    auto timer = dispatch::TimerSource::create(timerQueue_, std::chrono::nanoseconds(0), kTickInterval,
                                               [this, alive] {
                                                   if (alive.lock()) tick();
                                               });
    std::lock_guard lock(timerMutex_);
    GDTimer_ = std::move(timer);
    GDTimer_->resume();
}

void ProcessHelper::tick() {
    checkHeartBeatTimer();
    CheckWaterMarkLoad();
    CheckRQLExistAndLoad();
}

void ProcessHelper::checkHeartBeatTimer() {
    log("[checkHeartBeatTimer] ZemClient Protect start check Heart beat....");
    std::weak_ptr<int> alive = lifetime_;
    if (!isUserAppExist()) {
        auto recheck = [this, alive] {
            if (!alive.lock()) return;
            if (!isUserAppExist()) launchZem(2);
        };
        if (env_.after) {
            env_.after(kUiRecheckDelay, recheck);
        } else {
            dispatch::WorkQueue::global()->dispatchAfter(kUiRecheckDelay, recheck);
        }
    }
    const int32_t count = timerCount_.load();
    if (count > 0 && count % 4 == 0) {
        checkQueue_->dispatch([probe = env_.checkHeartbeatRunning] {
            if (probe) {
                probe();
            } else {
                ZemProtectIPCManager::checkHeartbeatRunning();
            }
        });
    }
    if (count > 0 && count % 10 == 0) checkMemory();
    ProcessUtil::checkHeartBeatServiceAndLaunch(supervise::kRunJobLabel);
    timerCount_.store(count <= 9 ? count + 1 : 0);
}

void ProcessHelper::checkMemory() {
    const double memory = env_.memoryUsage ? env_.memoryUsage() : ProcessInfoHelper::appMemoryUsage();
    const int32_t threads = env_.threadCount ? env_.threadCount() : ProcessInfoHelper::getThreadCount();
    if (!(memory > kMaxMemoryMiB) && threads < kMaxThreads) return;
    char line[160];
    std::snprintf(line, sizeof line, "[CommonTimerManager]physicalMemory more than max_size %f, thread count: %d",
                  memory, threads);
    log(line);
    if (env_.exitProcess) {
        env_.exitProcess();
        return;
    }
    // The -run job's liveness task loads this job again. Ended without running destructors,
    // which other threads may still be using.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    common::daemonLog().flush();
    dispatch::MainLoop::shared().stop();
    ::_exit(0);
}

bool ProcessHelper::isUserAppExist() {
    const bool running = !proclist::processesRunning(paths::uiAppExecutable()).empty();
    log(running ? "[ProcessHelper]Zem UI existed" : "[ProcessHelper]Zem UI inexistence");
    return running;
}

std::vector<pid_t> ProcessHelper::existWaterMark() {
    std::vector<pid_t> killed = proclist::signalProcessesOf(watermarkExecutable(), SIGKILL);
    if (!killed.empty()) log("[ProcessHelper]Zem watermark kill in zem startup--" + joined(killed) + "--");
    return killed;
}

void ProcessHelper::launchZem(int) {
    auto user = sysinfo::consoleUser();
    if (!user || user->empty() || *user == "root") return;
    existWaterMark();
}

void ProcessHelper::CheckWaterMarkLoad() {
    const std::string job = supervise::jobFile(supervise::kWatermarkJobLabel);
    if (!exists(job)) return;
    if (!proclist::processesRunning(watermarkExecutable()).empty()) {
        log("[ProcessHelper]Zem watermark exit---");
        if (watermarkKills_.load() < 1) {
            existWaterMark();
            watermarkKills_.fetch_add(1);
            log("[ProcessHelper]Zem watermark startup kill ----");
        }
        return;
    }
    if (exists(watermarkSwitch())) {
        supervise::loadJob(job, true);
        log("[ProcessHelper]Zem watermark Restart ----");
    }
}

bool ProcessHelper::ifExistHuxUI() {
    auto pids = proclist::processesRunning(paths::uiAppExecutable());
    if (pids.empty()) return false;
    log("[ProcessHelper]Hux UI Exist pid =" + joined(pids));
    return true;
}

void ProcessHelper::exitNimbrel() {
    std::weak_ptr<int> alive = lifetime_;
    auto work = [this, alive] {
        if (!alive.lock()) return;
        if (proclist::processesRunning(vpnAgentExecutable()).empty()) return;
        log("[checkRQLifLoad]Zem QZN exit");
        if (env_.existNimbrel) {
            env_.existNimbrel();
        } else {
            log("[checkRQLifLoad]no way to ask the VPN agent to stop");
        }
    };
    if (env_.background) {
        env_.background(work);
    } else {
        dispatch::WorkQueue::global()->dispatch(work);
    }
}

void ProcessHelper::CheckRQLExistAndLoad() {
    auto readName = [this] { return env_.userName ? env_.userName() : ITDevice::currentDevice().userName(); };
    std::string user = readName();
    if (!isSignedInName(user)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        user = readName();
    }
    std::optional<std::string> home;
    if (isSignedInName(user) && user != "root") home = paths::homeFolder(user);
    if (!home || !exists(*home + "/Library/Application Support/RavAvizaL/login.archive")) {
        exitNimbrel();
        return;
    }
    const std::string agent = vpnAgentExecutable();
    if (!proclist::processesRunning(agent).empty()) {
        log("[ProcessHelper]Zem QZN existed");
        if (!ifExistHuxUI()) {
            exitNimbrel();
            log("[ProcessHelper]Zem QZN existed but UI unexisted To exist Nimbrel");
        }
        return;
    }
    if (!ifExistHuxUI()) return;
    auto start = [startApp = env_.startApp, agent] {
        if (startApp) {
            startApp(agent, {""});
        } else {
            TaskHelper::sharedInstance().startCMDApp(agent, {""});
        }
    };
    if (env_.background) {
        env_.background(start);
    } else {
        dispatch::WorkQueue::global()->dispatch(start);
    }
    log("[ProcessHelper]Zem QZN inexistence, reload RQL");
}

}  // namespace hollin
