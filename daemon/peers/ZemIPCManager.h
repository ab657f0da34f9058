// The daemon's calls to its sibling processes over named connections: the report service, the
// outside policy runner and the upgrade app. Every lookup and call is bounded by a time-out, so a
// hung peer delays the caller by a known amount and never for ever. A peer that is missing is
// started or reloaded once per call; a peer still missing after that is logged and the call dropped.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/ipc/NamedConnection.h"

namespace hollin {

class ZemIPCManager {
  public:
    static constexpr const char* kReportLiveConnection = "RavAviza_report_live_connection";
    static constexpr const char* kBusConnection = "RavAviza_zem_bus_connection";
    static constexpr const char* kPolicyRunConnection = "RavAviza_policy_run_connection";
    static constexpr const char* kUpgradeConnection = "RavAviza_upgrade_connection";

    struct Options {
        double lookupTimeout = 5.0;
        // Upper bound of one remote call; the peers answer at once or not at all.
        double callTimeout = 20.0;
        // How the start and reload rules wait; null: the calling thread sleeps.
        std::function<void(std::chrono::milliseconds)> sleep;
        // How a program is started without waiting for it; null: TaskHelper::startCMDApp.
        std::function<void(const std::string&, const std::vector<std::string>&)> startApp;
        // Further lookups of the upgrade app, one a second, after the first one 2 s after its start.
        int upgradeRetries = 12;
    };

    static ZemIPCManager& sharedInstance();
    ZemIPCManager() : ZemIPCManager(Options{}) {}
    explicit ZemIPCManager(Options options);

    // Liveness probes: true when the peer answers "live".
    bool sendBusOnlive();
    bool sendBizLongOnlive();
    // Asks the report service to upload the debug logs, starting it once when it is missing.
    void reportDebugLog();
    // Hands policy states ({"policyId","policyVersion","runState","lastTimeStamp"}) to the report
    // service; reloads its job once when it is missing.
    void reportPolicyState(const nlohmann::json& states);
    // Tells the policy runner to run (data: JSON of the changed states, or nothing to re-read the
    // table); reloads its job once when it is missing.
    void excutePolicy(const std::optional<std::string>& data);
    // Whether the policy runner's timed policies run; true when the runner cannot be reached.
    bool schemePolicyOnlive();
    // Asks the policy runner to restart its timed policies, loading its job once when it is missing.
    void restartSchemePolicy();
    // Passes an upgrade order to the upgrade app, starting it when it does not answer.
    void upgradeIPC(const std::optional<std::string>& data, int32_t upType);

    // Copies the bundle at source to the upgrade app's place: into a temporary sibling first, then
    // renamed over the old copy, so the copy never nests inside an existing one. False on failure.
    static bool installUpgradeCopy(const std::string& source);

  private:
    std::shared_ptr<ipc::ConnectionProxy> lookup(const std::string& name) const;
    void pause(std::chrono::milliseconds d) const;
    void start(const std::string& path, const std::vector<std::string>& args) const;
    // Reload rule: unload, wait 2 s, load, wait 5 s, look up once more.
    std::shared_ptr<ipc::ConnectionProxy> reloadJob(const std::string& jobFile, const std::string& name) const;

    Options options_;
};

}  // namespace hollin
