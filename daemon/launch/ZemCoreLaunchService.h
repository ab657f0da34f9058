// The -run job's start sequence: the scheduler and the upgrade app on the global queue, the
// policy-database port's queue, the 300 s keep-alive run-loop timer and the observer that
// restarts a stalled scheduler before the main run loop waits.
#pragma once

#include <memory>
#include <optional>

#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/WorkQueue.h"

namespace hollin {

class CommonTimerManager;

class ZemCoreLaunchService {
  public:
    static constexpr double kKeepAliveSeconds = 300.0;

    // scheduler null: the process-wide CommonTimerManager.
    explicit ZemCoreLaunchService(CommonTimerManager* scheduler = nullptr);
    // Removes its run-loop observer: the shared main loop outlives a service made for a while.
    ~ZemCoreLaunchService();

    void launch();
    // Starts the upgrade app with "-upgrade" when its executable exists; does not wait for it.
    static void launchUpgrade();
    // Installs the run-loop observer on the main loop.
    void createRunloopObserver();
    static void runLoopTimerCallBack() {}

  private:
    CommonTimerManager& scheduler();

    CommonTimerManager* scheduler_;
    std::shared_ptr<dispatch::WorkQueue> ipcQueue_;
    std::shared_ptr<dispatch::TimerSource> keepAliveTimer_;
    std::optional<dispatch::MainLoop::ObserverId> runloopObserver_;
};

}  // namespace hollin
