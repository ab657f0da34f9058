#include "HollinMain.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <exception>

#include "RunLock.h"
#include "ZemCoreLaunchService.h"
#include "common/logger/DaemonLog.h"
#include "common/logger/FaultHandler.h"
#include "common/logger/RotatingLogger.h"
#include "common/server/ZemServerConfig.h"
#include "daemon/bridge/UserBridge.h"
#include "daemon/filemonitor/ZemFileMonitor.h"
#include "daemon/peers/ZemIPCManager.h"
#include "daemon/scheduler/CommonTimerManager.h"
#include "daemon/service/ZemNimbrelInterface.h"
#include "daemon/supervise/ProcessHelper.h"
#include "daemon/supervise/ZemBusinessManager.h"
#include "daemon/supervise/ZemV5Install.h"
#include "framework/process/FileManager.h"
#include "platform/dispatch/MainLoop.h"

using calix::FileManager;
using common::LogCoreHelper;
using common::ZemServerConfig;

namespace hollin {

std::string gHollinModeArgument;

namespace {

enum ExitStatus : int {
    kExitOk = 0,
    kExitOneShot = 1,
    kExitNotRoot = 255,
    kExitException = 253,
};

void log(const std::string& line) {
    common::daemonLog().writeLog(line, 1);
}

// Lines are written on the logger's queue: wait for them before the process ends.
int finish(int status) {
    common::daemonLog().flush();
    return status;
}

// Taken before main runs, so every temporary file this process makes is newer.
const timespec gProcessStart = [] {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return t;
}();

// A second -run in the same root would serve nothing (the first holds the connection names) and
// would heartbeat into the same state files: only the lock holder goes on. Only the holder
// clears leftovers, as another job's temporary files are still in use.
bool mayRunJob() {
    switch (claimRunLock()) {
        case RunLockClaim::HeldElsewhere:
            log("-------------------- Hollin run: another Hollin -run holds " + runLockPath() +
                ", exiting --------------------");
            return false;
        case RunLockClaim::Unavailable:
            log("-------------------- Hollin run: cannot lock " + runLockPath() + " --------------------");
            return true;
        case RunLockClaim::Held:
            break;
    }
    if (size_t removed = removeLeftoverTemporaries(gProcessStart))
        log("-------------------- Hollin run: removed " + std::to_string(removed) +
            " leftover temporary files --------------------");
    return true;
}

// An exception that escaped work on a queue or the main loop leaves the daemon in an unknown
// state: log it and end, so that the supervisor starts the job afresh.
void onDispatchFault(const std::string& label, const std::string& what) {
    std::string detail = "queue \"" + label + "\": " + what;
    // A fault on the logger's own queue: a line queued there would not be written before the exit.
    if (label != LogCoreHelper::defaultConfig().queueLabel) {
        log("-------------------- Hollin process has exception  --------------------------");
        log(detail);
        finish(kExitException);
    }
    common::writeFaultRecord("uncaught exception on " + detail);
    ::_exit(kExitException);
}

void runJob() {
    FileManager::sharedInstance().createAppRootDirectory();
    // This job writes the last-good-server record; other processes only read it.
    ZemServerConfig::sharedInstance().setServerRecordWriter(true);
    // The user bridge runs first in every tick of the scheduler, on its timer queue; the
    // scheduler's liveness task reloads the report service, the policy runner and the -protect
    // job when they do not answer. Both live for the whole process.
    static CommonTimerManager* scheduler = nullptr;
    UserBridge::Environment bridgeEnv;
    bridgeEnv.requestPolicyId = [] { scheduler->startGetPolicyIdRequest(false); };
    static UserBridge* bridge = new UserBridge(std::move(bridgeEnv));
    CommonTimerManager::Environment env;
    env.monitorUserLogin = [] { bridge->monitorUserLogin(); };
    env.businessCheck = [] {
        ZemBusinessManager::Peers peers;
        peers.sendBusOnlive = [] { return ZemIPCManager::sharedInstance().sendBusOnlive(); };
        peers.sendBizLongOnlive = [] { return ZemIPCManager::sharedInstance().sendBizLongOnlive(); };
        peers.schemePolicyOnlive = [] { return ZemIPCManager::sharedInstance().schemePolicyOnlive(); };
        peers.restartSchemePolicy = [] { ZemIPCManager::sharedInstance().restartSchemePolicy(); };
        ZemBusinessManager::checkBusinessValidation(peers);
        ZemBusinessManager::startProtectService();
    };
    scheduler = new CommonTimerManager(std::move(env));
    static ZemCoreLaunchService* service = new ZemCoreLaunchService(scheduler);
    service->launch();
    dispatch::MainLoop::shared().run();
}

// The -protect job watches the login state, .ZemConfig and the console user's debug switch.
void startFileMonitor() {
    static ZemProcessChecks* processChecks = new ZemProcessChecks();  // lives for the whole process
    static ZemFileMonitor* fileMonitor = new ZemFileMonitor(*processChecks);
    fileMonitor->startListenFileChange();
}

void stopVpnAgent() {
    ZemNimbrelInterface::sharedInstance().existNimbrel();
}

}  // namespace

HollinModes HollinModes::standard() {
    HollinModes m;
    m.install = [] {
        ZemV5Install::Hooks hooks;
        hooks.existNimbrel = stopVpnAgent;
        ZemV5Install::runInstallWork(hooks);
    };
    m.launch = [] { ZemV5Install::launchZem(); };
    m.protect = [] {
        ProcessHelper::Environment env;
        env.existNimbrel = stopVpnAgent;
        static ProcessHelper* helper =
            new ProcessHelper(std::move(env));  // kept alive by its timer for the whole process
        helper->startProtectHeartBeatTimer();
        startFileMonitor();
        dispatch::MainLoop::shared().run();
    };
    m.run = runJob;
    return m;
}

int hollinMain(int argc, const char* const argv[], const HollinModes& modes) {
    dispatch::setFaultHandler(onDispatchFault);
    log("-------------------- Hollin process main start  --------------------------");
    if (argc < 2 || argv[1] == nullptr) return finish(kExitOk);

    std::string mode = argv[1];
    std::transform(mode.begin(), mode.end(), mode.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (mode == "-version") return finish(kExitOneShot);

    if (::getuid() != 0) {
        log("-------------------- Hollin process is not root user  --------------------------");
        return finish(kExitNotRoot);
    }
    gHollinModeArgument = argv[1];

    try {
        if (mode == "-install") {
            log("-------------------- Hollin install --------------------");
            if (modes.install) modes.install();
            return finish(kExitOneShot);
        }
        if (mode == "-launch") {
            log("-------------------- Hollin launchZem --------------------");
            if (modes.launch) modes.launch();
            return finish(kExitOneShot);
        }
        if (mode == "-protect") {
            log("-------------------- Hollin protect --------------------");
            if (modes.protect) modes.protect();
            return finish(kExitOk);
        }
        if (mode == "-run") {
            log("-------------------- Hollin run --------------------");
            if (!mayRunJob()) return finish(kExitOneShot);
            if (modes.run) modes.run();
            return finish(kExitOk);
        }
    } catch (const std::exception& e) {
        log("-------------------- Hollin process has exception  --------------------------");
        finish(kExitException);
        common::writeFaultRecord(std::string("uncaught exception: ") + e.what());
        return kExitException;
    }
    return finish(kExitOk);
}

}  // namespace hollin
