// The daemon's request scheduler: a one-second tick on a serial queue over a wheel of 60 slots
// of periodic tasks, the request starters, the re-slotting of tasks when the server changes an
// interval, the memory and thread guard, and the watchdog that restarts a stalled tick.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/WorkQueue.h"
#include "platform/ipc/NamedConnection.h"

namespace hollin {

class ZemCore;
class ZemConfigManager;

// One periodic task on the wheel.
struct ZemTimerModel {
    uint64_t timerType = 0;
    int32_t timeInterval = 0;
    int32_t runCycle = 0;         // countdown in revolutions
    int32_t perTimeInterval = 0;  // slot
    int32_t lastRunTimeInterval = 0;

    // A task of `interval` seconds: countdown interval / 60, slot interval % 60.
    static ZemTimerModel make(uint64_t type, int32_t interval, double now);
};

class CommonTimerManager {
  public:
    static constexpr int kSlots = 60;
    // Seconds on the monotonic clock without a dispatched task after which the tick counts as stalled.
    static constexpr double kStallSeconds = 600.0;
    enum TimerType : uint64_t {
        kHeartBeat = 0,
        kHeartBeatExt = 1,
        kPolicyId = 2,
        kUpgrade = 3,
        kBusiness = 4,
        kMemory = 5,
    };

    // The parts of the daemon the scheduler drives, replaceable where they are not built yet or
    // where a test needs to watch them.
    struct Environment {
        const dispatch::Clock* clock = nullptr;  // null: the system clock
        std::shared_ptr<ZemCore> mainCore;       // null: a new ZemCore
        ZemConfigManager* config = nullptr;      // null: the shared configuration store
        std::function<void()> monitorUserLogin;  // the user bridge, run first in each tick
        std::function<void()> businessCheck;     // the business check of task 4
        // Asks the network type (0 intranet, 1 extranet, 2 neither); null: the account manager's probe.
        std::function<void(std::function<void(int64_t)>)> probeNetworkType;
        // How the wheel hands a task's action to its queue; null: dispatch on that queue.
        std::function<void(const std::shared_ptr<dispatch::WorkQueue>&, dispatch::Task)> submit;
        // The memory guard's limits and its way out; null: stop the main loop and exit(0).
        double maxMemoryMiB = 100.0;
        int32_t maxThreads = 50;
        std::function<void()> exitProcess;
        std::function<double()> memoryUsage;   // null: ProcessInfoHelper
        std::function<int32_t()> threadCount;  // null: ProcessInfoHelper
        bool registerNotifications = true;
        // Runs inside a watchdog restart just before the new source is made (a test makes it throw).
        std::function<void()> beforeTimerRestart;
    };

    static CommonTimerManager& sharedInstance();
    CommonTimerManager();
    explicit CommonTimerManager(Environment env);
    ~CommonTimerManager();

    // Sets the user bridge that each tick runs first; call before the tick starts.

    // Start of the -run job's periodic work: the connections, the tick and the configuration watch.
    void startUpgradeAndPolicyTimer();
    void registerClientConnection();
    void createCommonTimer();
    // One tick of the wheel.
    void startRunloopTimer();
    void checkRunloopTimerIsRunning();
    void restartCommonTimer();

    // Request starters.
    void startHeartBeat(ZemTimerModel& task);
    void startHeartBeatExt(ZemTimerModel& task);
    void startGetPolicyIdRequest(bool byCommand);
    void startGetPolicyContent(const dispatch::Notification& note);
    void startGetUpgradeRequest(uint64_t kind,
                                std::function<void(std::optional<std::vector<uint8_t>>)> complete);
    void startGetUpgradeFromHeart(const dispatch::Notification&);
    void startGetPolicyFromHeart(const dispatch::Notification&);
    void startGetConfigFromHeart(const dispatch::Notification&);
    // Fire-policy and debug commands start nothing here.
    void startGetFireFromHeart(const dispatch::Notification&) {}
    void startGetDebugFromHeart(const dispatch::Notification&) {}

    // Whether the UI app runs: some process's command line holds the UI app's executable path.
    static bool isUserAppExist();

    // Interval changes announced by the configuration store.
    void restartUpgradeTimer(const dispatch::Notification& note);
    void restartPolicyTimer(const dispatch::Notification& note);
    void restartHeartBeat(const dispatch::Notification& note);
    void restartHeartBeatExt(const dispatch::Notification& note);

    void checkProcessMemUsage();
    void Get_network_type();

    // State for tests and the connections' liveness call. The stamp is a monotonic reading
    // (Clock::uptime), so setting the wall clock neither fakes nor hides a stall.
    double lastRunloopTime() const { return lastRunloopTime_.load(); }
    int timerGeneration() const;
    bool hasLiveTimer() const;
    int timercount() const { return timercount_.load(); }
    // A copy of the wheel: slot -> tasks in list order.
    std::vector<std::vector<ZemTimerModel>> wheel() const;
    ZemCore& mainCore() { return *mainCore_; }
    std::shared_ptr<dispatch::WorkQueue> distributeQueue() const { return distributeQueue_; }

  private:
    void addNotification();
    void initialModelTimer();
    void distributeTimerTask(ZemTimerModel& task);
    void changeInterval(uint64_t type, const dispatch::Notification& note, double interval);
    std::atomic<bool>* changeFlag(uint64_t type);
    void submit(const std::shared_ptr<dispatch::WorkQueue>& queue, dispatch::Task task);
    double now() const;

    Environment env_;
    const dispatch::Clock& clock_;
    std::shared_ptr<ZemCore> mainCore_;
    ZemConfigManager& config_;
    std::atomic<double> lastRunloopTime_;

    mutable std::mutex timerMutex_;
    std::shared_ptr<dispatch::WorkQueue> timerQueue_;
    std::shared_ptr<dispatch::TimerSource> GDTimer_;
    int timerGeneration_ = 0;

    // The wheel is read by the tick and changed by the re-slot handlers: both hold wheelMutex_.
    mutable std::mutex wheelMutex_;
    std::vector<std::vector<std::shared_ptr<ZemTimerModel>>> timerArray_;
    std::atomic<int> timercount_{0};

    std::shared_ptr<dispatch::WorkQueue> distributeQueue_;
    std::shared_ptr<dispatch::WorkQueue> protectQueue_;
    std::shared_ptr<dispatch::WorkQueue> longConnectionQueue_;  // kept; nothing runs on it
    std::atomic<bool> isUpdateUpgradeTimeInterval_{false};
    std::atomic<bool> isUpdatePolicyTimeInterval_{false};
    std::atomic<bool> isUpdateHeartTimeInterval_{false};
    std::atomic<bool> isUpdateHeartExtTimeInterval_{false};

    // The observers are added on the main queue after construction: the token tells that task
    // whether the scheduler still exists.
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
    std::mutex observersMutex_;
    std::vector<dispatch::NotificationCenter::ObserverId> observers_;
    std::vector<std::shared_ptr<ipc::NamedConnection>> connections_;
};

}  // namespace hollin
