#include "CommonTimerManager.h"

#include "common/logger/DaemonLog.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "common/account/AccountManager.h"
#include "platform/core/FileIO.h"
#include "platform/core/TextNumber.h"
#include "platform/dispatch/MainLoop.h"
#include "daemon/endpoints/VendedObjects.h"
#include "daemon/link/ZemCore.h"
#include "common/logger/RotatingLogger.h"
#include "daemon/messages/ZemNotificationNames.h"
#include "platform/paths/Paths.h"
#include "framework/process/ProcessInfoHelper.h"
#include "common/server/ZemNetworkInfoModel.h"
#include "daemon/store/ZemConfigManager.h"

using calix::ProcessInfoHelper;
using common::AccountManager;
using common::LogCoreHelper;
using common::ZemNetworkInfoModel;

namespace hollin {

using namespace std::chrono_literals;

namespace {

void log(const std::string& line) {
    common::daemonLog().writeLog(line, 1);
}

}  // namespace

ZemTimerModel ZemTimerModel::make(uint64_t type, int32_t interval, double now) {
    ZemTimerModel m;
    m.timerType = type;
    m.timeInterval = interval;
    m.runCycle = interval / 60;
    m.perTimeInterval = interval % 60;
    m.lastRunTimeInterval = static_cast<int32_t>(now);
    return m;
}

CommonTimerManager& CommonTimerManager::sharedInstance() {
    static CommonTimerManager* instance = new CommonTimerManager();  // lives for the whole process
    return *instance;
}

CommonTimerManager::CommonTimerManager() : CommonTimerManager(Environment{}) {}

CommonTimerManager::CommonTimerManager(Environment env)
    : env_(std::move(env)),
      clock_(env_.clock ? *env_.clock : dispatch::Clock::system()),
      mainCore_(env_.mainCore ? env_.mainCore : std::make_shared<ZemCore>()),
      config_(env_.config ? *env_.config : ZemConfigManager::sharedInstance()),
      lastRunloopTime_(clock_.uptime()) {
    if (env_.registerNotifications) {
        dispatch::WorkQueue::main()->dispatch([this, alive = std::weak_ptr<int>(lifetime_)] {
            if (alive.lock()) addNotification();
        });
    }
    distributeQueue_ =
        dispatch::WorkQueue::create("com.velmora.hollin.common.request", dispatch::QueueAttr::Concurrent);
    protectQueue_ = dispatch::WorkQueue::create("com.velmora.hollin.protect.business");
    longConnectionQueue_ = dispatch::WorkQueue::create("com.velmora.hollin.remote.longConnection");
    timerArray_.resize(kSlots);
    initialModelTimer();
    lastRunloopTime_.store(clock_.uptime());
}

CommonTimerManager::~CommonTimerManager() {
    lifetime_.reset();
    {
        std::lock_guard lock(observersMutex_);
        for (auto id : observers_) dispatch::NotificationCenter::defaultCenter().removeObserver(id);
        observers_.clear();
    }
    std::lock_guard lock(timerMutex_);
    if (GDTimer_) GDTimer_->cancel();
}

double CommonTimerManager::now() const {
    return clock_.now();
}

void CommonTimerManager::addNotification() {
    auto& center = dispatch::NotificationCenter::defaultCenter();
    auto main = dispatch::WorkQueue::main();
    using Handler = void (CommonTimerManager::*)(const dispatch::Notification&);
    const std::pair<const char*, Handler> table[] = {
        {notification::kUpgradeRestart, &CommonTimerManager::restartUpgradeTimer},
        {notification::kGetConfigRestart, &CommonTimerManager::restartPolicyTimer},
        {notification::kHeartbeatRestart, &CommonTimerManager::restartHeartBeat},
        {notification::kHeartbeatExtRestart, &CommonTimerManager::restartHeartBeatExt},
        {notification::kStartGetPolicyContent, &CommonTimerManager::startGetPolicyContent},
        {notification::kStartGetUpgradeFromHeart, &CommonTimerManager::startGetUpgradeFromHeart},
        {notification::kStartGetPolicyFromHeart, &CommonTimerManager::startGetPolicyFromHeart},
        {notification::kStartGetConfigFromHeart, &CommonTimerManager::startGetConfigFromHeart},
    };
    std::lock_guard lock(observersMutex_);
    for (const auto& [name, handler] : table) {
        observers_.push_back(center.addObserver(
            name, main, [this, handler = handler](const dispatch::Notification& n) { (this->*handler)(n); }));
    }
}

void CommonTimerManager::initialModelTimer() {
    const std::pair<uint64_t, double> tasks[] = {
        {kPolicyId, config_.intervalOfType(ZemConfigManager::kPolicyType, 302)},
        {kUpgrade, config_.intervalOfType(ZemConfigManager::kUpgradeType, 305)},
        {kHeartBeat, config_.intervalOfType(ZemConfigManager::kHeartbeatType, 60)},
        {kHeartBeatExt, config_.intervalOfType(ZemConfigManager::kHeartbeatExtType, 124)},
        {kBusiness, 71},
        {kMemory, 321},
    };
    std::lock_guard lock(wheelMutex_);
    for (const auto& [type, interval] : tasks) {
        auto task =
            std::make_shared<ZemTimerModel>(ZemTimerModel::make(type, static_cast<int32_t>(interval), now()));
        timerArray_[static_cast<size_t>(task->perTimeInterval)].push_back(std::move(task));
    }
}

void CommonTimerManager::startUpgradeAndPolicyTimer() {
    registerClientConnection();
    createCommonTimer();
    dispatch::WorkQueue::global()->dispatch([core = mainCore_] { core->startListenConfigInfo(); });
}

void CommonTimerManager::registerClientConnection() {
    // Each connection is served on a thread of its own; a name already held is not retried.
    ipc::VendOptions rootOnly;
    rootOnly.rootOnly = true;
    for (auto& [name, object] : endpoints::daemonVendedObjects(*this)) {
        if (auto c = ipc::NamedConnection::vend(name, std::move(object), rootOnly)) connections_.push_back(c);
    }
}

void CommonTimerManager::createCommonTimer() {
    std::lock_guard lock(timerMutex_);
    if (!timerQueue_)
        timerQueue_ = dispatch::WorkQueue::create("com.velmora.ravaviza.clientcommon.timerQueue");
    // Two restarts may race (main loop and the protect connection): only one source stays live.
    if (GDTimer_) GDTimer_->cancel();
    GDTimer_ = dispatch::TimerSource::create(timerQueue_, 0ns, 1s, [this] { startRunloopTimer(); });
    GDTimer_->resume();
    ++timerGeneration_;
}

void CommonTimerManager::startRunloopTimer() {
    if (env_.monitorUserLogin) env_.monitorUserLogin();

    const int count = timercount_.load();
    if (count >= 0 && count < kSlots) {
        // Due tasks are collected under the lock and dispatched after it, in list order.
        std::vector<ZemTimerModel*> due;
        {
            std::lock_guard lock(wheelMutex_);
            for (auto& task : timerArray_[static_cast<size_t>(count)]) {
                if (std::atomic<bool>* flag = changeFlag(task->timerType); flag && flag->load()) continue;
                if (task->runCycle > 0) {
                    --task->runCycle;
                } else {
                    task->runCycle = task->timeInterval / 60;
                    due.push_back(task.get());
                }
            }
        }
        for (ZemTimerModel* task : due) distributeTimerTask(*task);
    }
    if (count % 20 == 0) Get_network_type();
    timercount_.store(count >= kSlots - 1 ? 0 : count + 1);
}

void CommonTimerManager::distributeTimerTask(ZemTimerModel& task) {
    lastRunloopTime_.store(clock_.uptime());
    ZemTimerModel* t = &task;  // tasks live as long as the scheduler
    switch (task.timerType) {
        case kHeartBeat:
            submit(distributeQueue_, [this, t] { startHeartBeat(*t); });
            break;
        case kHeartBeatExt:
            submit(distributeQueue_, [this, t] { startHeartBeatExt(*t); });
            break;
        case kPolicyId:
            submit(distributeQueue_, [this] { startGetPolicyIdRequest(false); });
            break;
        case kUpgrade:
            submit(distributeQueue_, [this] { startGetUpgradeRequest(0, nullptr); });
            break;
        case kBusiness:
            submit(protectQueue_, [this] {
                if (env_.businessCheck) env_.businessCheck();
            });
            break;
        case kMemory:
            submit(distributeQueue_, [this] { checkProcessMemUsage(); });
            break;
        default:
            break;
    }
}

void CommonTimerManager::submit(const std::shared_ptr<dispatch::WorkQueue>& queue, dispatch::Task task) {
    if (env_.submit) {
        env_.submit(queue, std::move(task));
    } else {
        queue->dispatch(std::move(task));
    }
}

std::atomic<bool>* CommonTimerManager::changeFlag(uint64_t type) {
    switch (type) {
        case kUpgrade:
            return &isUpdateUpgradeTimeInterval_;
        case kPolicyId:
            return &isUpdatePolicyTimeInterval_;
        case kHeartBeat:
            return &isUpdateHeartTimeInterval_;
        case kHeartBeatExt:
            return &isUpdateHeartExtTimeInterval_;
        default:
            return nullptr;
    }
}

void CommonTimerManager::startHeartBeat(ZemTimerModel& task) {
    log("[CommonTimerManager]start main heart beat");
    {
        std::lock_guard lock(wheelMutex_);
        task.lastRunTimeInterval = static_cast<int32_t>(now());
    }
    mainCore_->sendHeartBeat();
}

void CommonTimerManager::startHeartBeatExt(ZemTimerModel&) {
    log("[CommonTimerManager]start ext heart beat");
    mainCore_->sendHeartBeatExt();
}

void CommonTimerManager::startGetPolicyIdRequest(bool byCommand) {
    log("[CommonTimerManager]start timer policy id request");
    mainCore_->sendGetCommPoliceIDs(byCommand);
}

void CommonTimerManager::startGetPolicyContent(const dispatch::Notification& note) {
    log("[CommonTimerManager]start timer policy content request");
    std::vector<int64_t> ids;
    const archive::Array* list = note.object.array();
    if (list) {
        for (const auto& v : *list) {
            if (auto id = v.integer()) ids.push_back(*id);
        }
    }
    if (!list) {
        log("[CommonTimerManager]no policy ids");
        return;
    }
    mainCore_->sendGetPoliceContent(ids, [] {});
}

void CommonTimerManager::startGetUpgradeRequest(
    uint64_t kind, std::function<void(std::optional<std::vector<uint8_t>>)> complete) {
    if (kind != 2) {
        log("[CommonTimerManager]start timer upgrade request");
        mainCore_->sendUpdateRequest(kind);
        return;
    }
    submit(distributeQueue_, [this, complete = std::move(complete)] {
        if (!complete) {
            log("[CommonTimerManager]start upgrade request by user, but block is null");
            return;
        }
        log("[CommonTimerManager]start upgrade request by user");
        mainCore_->sendUpdateRequestByUserWithBlock(complete);
    });
}

void CommonTimerManager::startGetUpgradeFromHeart(const dispatch::Notification&) {
    startGetUpgradeRequest(1, nullptr);
}
void CommonTimerManager::startGetPolicyFromHeart(const dispatch::Notification&) {
    startGetPolicyIdRequest(true);
}
void CommonTimerManager::startGetConfigFromHeart(const dispatch::Notification&) {
    mainCore_->sendGetConfig(true);
}

void CommonTimerManager::restartUpgradeTimer(const dispatch::Notification& note) {
    changeInterval(kUpgrade, note, config_.intervalOfType(ZemConfigManager::kUpgradeType, 305));
}

void CommonTimerManager::restartPolicyTimer(const dispatch::Notification& note) {
    changeInterval(kPolicyId, note, config_.intervalOfType(ZemConfigManager::kPolicyType, 302));
}

void CommonTimerManager::restartHeartBeat(const dispatch::Notification& note) {
    log("restart  main heart beat");
    changeInterval(kHeartBeat, note, config_.intervalOfType(ZemConfigManager::kHeartbeatType, 60));
}

void CommonTimerManager::restartHeartBeatExt(const dispatch::Notification& note) {
    log("restart  main heart beat");
    changeInterval(kHeartBeatExt, note, config_.intervalOfType(ZemConfigManager::kHeartbeatExtType, 124));
}

// The task keeps its slot list (the slot of its interval at start); its interval and countdown
// change. A previous value whose slot is outside the wheel finds nothing.
void CommonTimerManager::changeInterval(uint64_t type, const dispatch::Notification& note, double interval) {
    std::atomic<bool>* flag = changeFlag(type);
    flag->store(true);
    const std::string* previous = note.object.string();
    if (previous) {
        const int64_t slot = textnum::integerValue(*previous) % 60;
        if (slot >= 0) {
            std::lock_guard lock(wheelMutex_);
            for (auto& task : timerArray_[static_cast<size_t>(slot)]) {
                if (task->timerType != type) continue;
                const auto seconds = static_cast<int32_t>(interval);
                task->timeInterval = seconds;
                task->runCycle = seconds / 60;
                task->perTimeInterval = seconds % 60;
                break;
            }
        }
    }
    flag->store(false);
}

void CommonTimerManager::checkProcessMemUsage() {
    const double memory = env_.memoryUsage ? env_.memoryUsage() : ProcessInfoHelper::appMemoryUsage();
    const int32_t threads = env_.threadCount ? env_.threadCount() : ProcessInfoHelper::getThreadCount();
    if (memory <= env_.maxMemoryMiB && threads < env_.maxThreads) return;
    const double cpu = ProcessInfoHelper::appCpuUsage();
    char line[200];
    std::snprintf(
        line, sizeof line,
        "[CommonTimerManager]physicalMemory more than max_size: %f, threadCount: %d, cpu usage : %d", memory,
        threads, static_cast<int>(cpu));
    log(line);
    if (env_.exitProcess) {
        env_.exitProcess();
        return;
    }
    // launchd or the -protect job starts the daemon again; nothing is saved first.
    common::daemonLog().flush();
    dispatch::MainLoop::shared().stop();
    ::_exit(0);
}

void CommonTimerManager::Get_network_type() {
    auto probe = env_.probeNetworkType;
    dispatch::WorkQueue::global()->dispatch([probe] {
        auto handle = [](int64_t t) {
            auto record = ZemNetworkInfoModel::currentNetRecord();
            if (!record) {
                ZemNetworkInfoModel fresh;
                fresh.networkType = t;
                fresh.saveModelRecord();
                return;
            }
            const int64_t mapped = t == 0 ? 0 : (t == 1 ? 1 : 2);
            if (record->networkType == mapped) return;
            record->networkType = mapped;
            record->saveModelRecord();
            dispatch::WorkQueue::main()->dispatch([t] {
                dispatch::NotificationCenter::defaultCenter().post(notification::kChangedNetworkType, t);
            });
        };
        if (probe) {
            probe(handle);
        } else {
            AccountManager::shareManager().NetWorkType(handle);
        }
    });
}

void CommonTimerManager::checkRunloopTimerIsRunning() {
    if (clock_.uptime() - lastRunloopTime_.load() > kStallSeconds) restartCommonTimer();
}

void CommonTimerManager::restartCommonTimer() {
    lastRunloopTime_.store(clock_.uptime());
    // A failure to make the new source (no thread to be had, say) must not end the caller, the
    // main loop's observer or a connection's call: the next check tries again.
    try {
        {
            std::lock_guard lock(timerMutex_);
            if (GDTimer_) {
                GDTimer_->cancel();
                GDTimer_.reset();
            }
        }
        log("cancel CommonTimer success ...");
        if (env_.beforeTimerRestart) env_.beforeTimerRestart();
        createCommonTimer();
    } catch (const std::exception& e) {
        log(std::string("[CommonTimerManager]restart of the timer failed: ") + e.what());
    } catch (...) {
        log("[CommonTimerManager]restart of the timer failed");
    }
}

bool CommonTimerManager::isUserAppExist() {
    const std::string path = paths::uiAppExecutable();
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string pid = it->path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        auto bytes = fileio::readFile("/proc/" + pid + "/cmdline", 64 * 1024);
        if (!bytes || bytes->empty()) continue;
        // The command line as ps shows it: arguments separated by blanks.
        std::string line(bytes->begin(), bytes->end());
        for (char& c : line) {
            if (c == '\0') c = ' ';
        }
        if (line.find(path) != std::string::npos) return true;
    }
    return false;
}

int CommonTimerManager::timerGeneration() const {
    std::lock_guard lock(timerMutex_);
    return timerGeneration_;
}

bool CommonTimerManager::hasLiveTimer() const {
    std::lock_guard lock(timerMutex_);
    return GDTimer_ && !GDTimer_->isCancelled();
}

std::vector<std::vector<ZemTimerModel>> CommonTimerManager::wheel() const {
    std::lock_guard lock(wheelMutex_);
    std::vector<std::vector<ZemTimerModel>> copy(timerArray_.size());
    for (size_t i = 0; i < timerArray_.size(); ++i) {
        for (const auto& t : timerArray_[i]) copy[i].push_back(*t);
    }
    return copy;
}

}  // namespace hollin
