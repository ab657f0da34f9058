// The -run job's liveness task: the report service, the policy runner and the -protect job are
// each checked and, when found dead, reloaded through launchd.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace hollin {

class ZemBusinessManager {
  public:
    // The liveness calls to the peers and the pause between unload and load. The daemon's start
    // fills them from its connection manager; a call left empty counts as answered "live".
    struct Peers {
        std::function<bool()> sendBusOnlive;
        std::function<bool()> sendBizLongOnlive;
        std::function<bool()> schemePolicyOnlive;
        std::function<void()> restartSchemePolicy;
        std::function<void(std::chrono::milliseconds)> sleep;  // null: the calling thread sleeps
    };

    static ZemBusinessManager& sharedInstance();

    // Report service, policy runner, -protect job, policy-runner timer, in this order.
    static void checkBusinessValidation(const Peers& peers);
    // Loads the -protect job when the job list does not hold it and its job file exists.
    static void startProtectService();
    // "Marlet…" or "Tamber…": unload its job, wait 1 s, load it again; any other name: nothing.
    static void restartBusiness(const std::string& name, const Peers& peers);
    // A "-protect" process of the daemon executable runs; false when the executable is missing.
    static bool isZemClientExist();
    static void checkProtectProcess();

  private:
    ZemBusinessManager() = default;
};

}  // namespace hollin
