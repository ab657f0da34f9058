// The -protect job's watchdog: a 60-second tick that reloads the -run job when it is not loaded
// or not running, probes the -run job's scheduler every fourth tick, ends this process when its
// memory or thread count grows too large every tenth tick, and keeps the watermark app and the
// VPN agent in line with the console user. tick() is one such tick, so tests drive it directly.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/WorkQueue.h"

namespace hollin {

class ZemProtectCore;

class ProcessHelper {
  public:
    static constexpr std::chrono::seconds kTickInterval{60};
    static constexpr std::chrono::seconds kUiRecheckDelay{30};
    static constexpr double kMaxMemoryMiB = 100.0;
    static constexpr int32_t kMaxThreads = 50;

    // What the watchdog reaches outside itself; an empty field takes the process's own.
    struct Environment {
        std::function<double()> memoryUsage;   // MiB; null: ProcessInfoHelper
        std::function<int32_t()> threadCount;  // null: ProcessInfoHelper
        // null: pause 1 s, stop the main loop and exit with status 0.
        std::function<void()> exitProcess;
        // Runs work after a delay on a global queue; null: the global queue.
        std::function<void(std::chrono::milliseconds, std::function<void()>)> after;
        // Runs work on a global queue; null: the global queue.
        std::function<void(std::function<void()>)> background;
        // null: the heartbeat-protect connection's probe.
        std::function<bool()> checkHeartbeatRunning;
        // Asks the running VPN agent to stop; null: logged only.
        std::function<void()> existNimbrel;
        // The console user's name; null: the device facts.
        std::function<std::string()> userName;
        // Starts the file monitor with this watchdog; null: none.
        std::function<void(ProcessHelper&)> startFileMonitor;
        // Starts a program without waiting for it; null: the command runner.
        std::function<void(const std::string&, const std::vector<std::string>&)> startApp;
        // The protect channel is made at start and again when found missing.
        bool createProtectCore = true;
    };

    ProcessHelper();
    explicit ProcessHelper(Environment env);
    // Stops the tick and waits for the start-up thread.
    ~ProcessHelper();
    ProcessHelper(const ProcessHelper&) = delete;
    ProcessHelper& operator=(const ProcessHelper&) = delete;

    // Installs the observers once and, on a thread of its own, clears the stale policy files,
    // starts the file monitor and the tick (first at once, then every 60 s).
    void startProtectHeartBeatTimer();
    // One tick: the job check, the watermark check, the VPN check.
    void tick();

    void checkHeartBeatTimer();
    void CheckWaterMarkLoad();
    void CheckRQLExistAndLoad();
    // Ends the process (through exitProcess) when memory or threads are over their limits.
    void checkMemory();

    // The UI app runs.
    static bool isUserAppExist();
    // Kills every running watermark app; returns the pids killed.
    static std::vector<pid_t> existWaterMark();
    // Kills the watermark app when a user other than root is signed in at the screen.
    void launchZem(int reason);
    bool ifExistHuxUI();
    void exitNimbrel();

    void getNetworkTypeFinish(const dispatch::Notification&);
    void getNetworkLocationFinish(const dispatch::Notification&);

    int32_t timerCount() const { return timerCount_.load(); }
    int watermarkKills() const { return watermarkKills_.load(); }
    bool isNetLocReqFinish() const { return isNetLocReqFinish_.load(); }
    bool hasProtectCore() const;

  private:
    void addNotifications();
    void startUp();
    void makeProtectCoreIfMissing();

    Environment env_;
    std::atomic<bool> isAddNotice_{false};
    std::atomic<bool> isNetLocReqFinish_{false};
    std::atomic<int32_t> timerCount_{0};
    std::atomic<int> watermarkKills_{0};

    mutable std::mutex coreMutex_;
    std::shared_ptr<ZemProtectCore> protectCore_;
    std::shared_ptr<dispatch::WorkQueue> netQueue_;
    std::shared_ptr<dispatch::WorkQueue> checkQueue_;
    std::shared_ptr<dispatch::WorkQueue> timerQueue_;
    std::mutex timerMutex_;
    std::shared_ptr<dispatch::TimerSource> GDTimer_;
    std::thread startThread_;
    std::vector<dispatch::NotificationCenter::ObserverId> observers_;
    // Work queued elsewhere checks this before touching the watchdog.
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace hollin
