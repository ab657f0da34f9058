// The daemon's -install and -launch modes: stop what must not run during the change, migrate the
// server list to the keyed format, replace the job files and the upgrade app, open the UI app and
// load the jobs. No step's failure stops the sequence; each is logged.
#pragma once

#include <functional>
#include <string>

#include "platform/archive/Value.h"

namespace hollin {

class ZemV5Install {
  public:
    struct Hooks {
        // Asks the running VPN agent to stop; null: logged only.
        std::function<void()> existNimbrel;
        // The console user's name; null: the device facts.
        std::function<std::string()> userName;
    };

    static void runInstallWork(const Hooks& hooks = {});
    // Opens the UI app in the console user's session.
    static void launchZem();

    static void killZemLoginAndNimbrel(const Hooks& hooks = {});
    // Kills the policy runner's -runTimer and -runExt processes, nothing else.
    static void killZemBizProcess();
    // Kills the domain-join app.
    static void killJoinDomainProcess();
    // Rewrites a plain (non-keyed) .ZemConfig as a keyed archive, nesting an old single-server
    // list in a list of its own. A keyed or unreadable file is left as it is.
    static void ChangeIPConfigArchive();
    static bool commonArchiveRootObject(const archive::Value& object, const std::string& path);
    static void unloadZemServiceWithPath(const std::string& plistPath);
    static void installZemUpgradeAppWithResourcePath(const std::string& source, const std::string& destination);
    static void copyDaemonFileWithResourcePath(const std::string& source, const std::string& destination);
    static void launchDaemonWithPath(const std::string& plistPath);

    // The policy runner's executable in the UI bundle, and the domain-join app's.
    static std::string policyRunnerExecutable();
    static std::string joinDomainExecutable();
};

}  // namespace hollin
