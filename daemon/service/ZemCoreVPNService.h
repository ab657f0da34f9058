// The root object of the local service connection com.velmora.Ludrow.Exit: stop or restart the
// VPN agent daemon, unload the product's jobs, open companion apps, report machine information,
// start an upgrade and create a mobile account. Served root-only; every argument is checked
// before it reaches a program, programs get argument vectors and every command has a deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/WorkQueue.h"
#include "platform/ipc/NamedConnection.h"

namespace hollin {

class ZemCoreVPNService {
  public:
    static constexpr const char* kConnectionName = "com.velmora.Ludrow.Exit";
    static constexpr const char* kDiagnoseToolVersion = "4.3.03086";

    struct Environment {
        // Stops the main run loop (ZemExit: YES); null: the main loop's stop.
        std::function<void()> stopRunLoop;
        // The protect channel's machine-information report; null: a new protect-channel core.
        std::function<void(const std::string& netType, std::function<void(bool)> complete)> reportMachineInfo;
        // Hands an upgrade type to the upgrade client; null: logged and dropped.
        std::function<void(int64_t type)> startUpgrade;
        // Where work said to run "on a global queue" goes; null: the global queue.
        std::shared_ptr<dispatch::WorkQueue> globalQueue;
        std::function<void(const std::string&)> log;  // null: the process log
        // Deadline of each command (launchctl, account tools).
        std::chrono::milliseconds commandDeadline{60'000};
    };

    ZemCoreVPNService();
    explicit ZemCoreVPNService(Environment env);

    void unloadVPNService();
    bool restartVPNService();
    void ZemExit(bool stopRunLoop);
    void openVPNDiagnoseTool();
    bool configLan();
    bool configDEVWlan();
    bool configOfficeWLAN();
    int64_t openDucene();
    void reportMachineInfo(const std::string& netType);
    void saveNotAutorun(bool notAutorun);
    void startUpgradeHandle(int64_t upgradeType);
    void openUpgradeAppOnUI(const std::string& app, const std::string& argv);
    // False, running nothing, when the name is not a plain account name.
    bool createADAccount(const std::string& userName);

    // The selectors of the connection, each checking its arguments' types and count.
    static ipc::VendedObject vendedObject(std::shared_ptr<ZemCoreVPNService> service);
    // Vends the object root-only under kConnectionName; nothing when the name is taken.
    static std::shared_ptr<ipc::NamedConnection> vend(std::shared_ptr<ZemCoreVPNService> service);

    // A short account name as the account tools accept it: 1 to 64 of [a-z0-9._-] once lower-cased,
    // not starting with '-' or '.'. Empty when the name is anything else.
    static std::string accountName(const std::string& userName);

    // Fixed paths inside the UI bundle and the job folder.
    static std::string diagnoseToolPath();
    static std::string registrationAppPath();
    static std::string vpnAgentJobFile();
    static std::string productJobFile(const std::string& label);

  private:
    bool openRegistrationApp(const char* argument, const char* missingLine);
    void unloadWithoutWaiting(const std::string& jobFile);
    void log(const std::string& line) const;

    Environment env_;
};

}  // namespace hollin
