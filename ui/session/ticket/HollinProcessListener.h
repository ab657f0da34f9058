// The 15-second watchdog of the UI app: while a user is signed in, it keeps the ticket service
// and the VPN agent alive. Each tick runs on the main queue; the wait for the ticket service and
// the look for the agent run elsewhere, so the main loop never blocks.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/WorkQueue.h"

namespace hux {

class HollinProcessListener {
  public:
    // What a tick does with the login session and the ticket service. Each member defaults to
    // the real one (RavAvizaLoginHelper, RavAvizaTicketHelper, the agent found under /proc).
    struct Steps {
        std::function<void()> Get_network_type;
        std::function<bool()> iflogin;
        std::function<bool()> isCheckAndShow;
        std::function<void(std::function<void(bool)>)> checkXPCServiceIsReInital;
        std::function<void()> existNimbrel;
        std::function<void()> runTicketXPC;
        std::function<void()> reloadNimbrel;
        // The pids of the running VPN agent.
        std::function<std::vector<pid_t>()> nimbrelProcesses;
    };

    // The first call creates the listener with its timer paused.
    static HollinProcessListener& sharedInstance();

    // Replaces the steps; members left empty keep their defaults.
    void setSteps(Steps steps);

    // Starts the paused timer: the first tick at once, then every 15 s.
    void startListening();
    // One tick. done (for callers that want to know) runs on the main queue once the tick and
    // the VPN check it started, if any, are over.
    void checkQznServerAndLoad(std::function<void()> done = {});

    HollinProcessListener(const HollinProcessListener&) = delete;
    HollinProcessListener& operator=(const HollinProcessListener&) = delete;

  private:
    HollinProcessListener();
    void createClientCheckTimer();
    void timerHandle();
    // The VPN process check on the global queue.
    void checkNimbrel(const Steps& steps, std::function<void()> done);
    Steps steps() const;

    mutable std::mutex mutex_;
    Steps steps_;
    std::shared_ptr<dispatch::TimerSource> timer_;
    bool started_ = false;
};

// The pids of processes running the VPN agent of the app bundle, "<bundle>/Contents/RQL/Nimbrel".
std::vector<pid_t> nimbrelAgentProcesses();

}  // namespace hux
